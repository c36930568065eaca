# `cmake --build --preset windows --target setup` makes, in the dist folder,
#   Aerolumen-P3D4-<version>-setup.exe   the installer for the person who flies (NSIS, 64-bit)
# from installer/AerolumenP3D4-setup.nsi with the built launcher, the launcher's icon and the
# text user guide with CRLF line endings. The archive target depends on it and lists it in
# SHA256SUMS. With a certificate (cmake/Signing.cmake) the setup and its uninstaller are signed.
find_program(WB_MAKENSIS makensis REQUIRED)

set(WB_SETUP_FILE "${WB_DIST_DIR}/Aerolumen-P3D4-${PROJECT_VERSION}-setup.exe")
set(WB_SETUP_SCRIPT "${CMAKE_SOURCE_DIR}/installer/AerolumenP3D4-setup.nsi")
set(WB_SETUP_GUIDE "${CMAKE_BINARY_DIR}/installer/user-guide.txt")
# Drawn by the launcher's build (launcher/CMakeLists.txt), before the launcher links.
set(WB_SETUP_ICON "${CMAKE_BINARY_DIR}/launcher/AerolumenP3D4.ico")

add_custom_command(OUTPUT "${WB_SETUP_GUIDE}"
  COMMAND ${CMAKE_COMMAND} "-DINPUT=${CMAKE_SOURCE_DIR}/docs/user-guide.txt"
          "-DOUTPUT=${WB_SETUP_GUIDE}" -P "${CMAKE_SOURCE_DIR}/cmake/CrlfText.cmake"
  DEPENDS "${CMAKE_SOURCE_DIR}/docs/user-guide.txt" "${CMAKE_SOURCE_DIR}/cmake/CrlfText.cmake"
  VERBATIM)

# The makensis defines that the script needs (also used by the signing test).
set(WB_SETUP_DEFINES
  "-DVERSION=${PROJECT_VERSION}"
  "-DLAUNCHER=$<TARGET_FILE:AerolumenP3D4>"
  "-DUSER_GUIDE=${WB_SETUP_GUIDE}"
  "-DICON=${WB_SETUP_ICON}")
set(sign_define "")
if(WB_SIGN_COMMAND)
  list(JOIN WB_SIGN_COMMAND "\" \"" quoted)
  set(sign_define "-DSIGN_COMMAND=\"${quoted}\"")
endif()

add_custom_command(OUTPUT "${WB_SETUP_FILE}"
  COMMAND "${WB_MAKENSIS}" -V2 ${WB_SETUP_DEFINES} "-DOUTFILE=${WB_SETUP_FILE}" ${sign_define}
          "${WB_SETUP_SCRIPT}"
  DEPENDS AerolumenP3D4 "${WB_SETUP_GUIDE}" "${WB_SETUP_SCRIPT}"
  COMMENT "Making Aerolumen-P3D4-${PROJECT_VERSION}-setup.exe"
  VERBATIM)
add_custom_target(setup DEPENDS "${WB_SETUP_FILE}")
