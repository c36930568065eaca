# Code signing of the shipped binaries and the setup, off unless a certificate is given:
#   cmake --preset windows -DWB_SIGN_PKCS12=<certificate.p12> -DWB_SIGN_PASSWORD_FILE=<file>
# The password file holds the certificate's password on its first line. Signatures carry no
# timestamp (the build reaches no network); cmake/sign-file.sh says how to add one.
set(WB_SIGN_PKCS12 "" CACHE FILEPATH "PKCS#12 file with the code-signing certificate and key")
set(WB_SIGN_PASSWORD_FILE "" CACHE FILEPATH "File whose first line is the PKCS#12 password")
set(WB_SIGN_COMMAND "")
if(WB_SIGN_PKCS12)
  find_program(WB_OSSLSIGNCODE osslsigncode REQUIRED)
  if(NOT WB_SIGN_PASSWORD_FILE)
    message(FATAL_ERROR "WB_SIGN_PKCS12 is set: WB_SIGN_PASSWORD_FILE must name its password file")
  endif()
  set(WB_SIGN_COMMAND bash "${CMAKE_SOURCE_DIR}/cmake/sign-file.sh" "${WB_SIGN_PKCS12}"
      "${WB_SIGN_PASSWORD_FILE}")
endif()

# wb_sign(target): signs the target's file after each link, once its debug data is split off
# (call it after wb_split_debug_info), when the build has a certificate.
function(wb_sign target)
  if(WB_SIGN_COMMAND)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${WB_SIGN_COMMAND} "$<TARGET_FILE:${target}>"
      VERBATIM)
  endif()
endfunction()
