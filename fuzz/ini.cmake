# Settings file format: reader robustness and write/read round trips.
wb_add_fuzzer(ini_fuzz ${CMAKE_CURRENT_LIST_DIR}/ini_fuzz.cpp)
target_link_libraries(ini_fuzz PRIVATE settings_format)
# Coverage feedback from inside the library under test as well.
target_compile_options(settings_format PRIVATE -fsanitize=fuzzer-no-link)
