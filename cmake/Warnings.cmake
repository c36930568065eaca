# Every target of ours compiles warning-free; third-party code (GoogleTest) keeps its own flags.
function(wb_strict target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

if(WB_SANITIZE)
  add_compile_options(-fsanitize=${WB_SANITIZE} -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${WB_SANITIZE})
endif()
