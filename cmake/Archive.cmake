# `cmake --build --preset windows --target archive` makes, in the dist folder:
#   Aerolumen-P3D4-<version>-win64.zip          the install tree (cmake/Install.cmake)
#   Aerolumen-P3D4-<version>-win64-symbols.zip  the debug data of the shipped binaries, laid out
#                                               to unpack over the release folder
#   SHA256SUMS                                  checksums of both and of the setup
#                                               (cmake/Installer.cmake), for sha256sum -c
set(WB_RELEASE_NAME "Aerolumen-P3D4-${PROJECT_VERSION}-win64")
add_custom_target(archive
  COMMAND ${CMAKE_COMMAND}
          "-DWB_BUILD_DIR=${CMAKE_BINARY_DIR}"
          "-DWB_RELEASE_NAME=${WB_RELEASE_NAME}"
          "-DWB_SYMBOLS_DIR=${WB_SYMBOLS_DIR}"
          "-DWB_DIST_DIR=${WB_DIST_DIR}"
          "-DWB_SOURCE_DIR=${CMAKE_SOURCE_DIR}"
          "-DWB_DOCUMENTS=${WB_DOCUMENTS}"
          "-DWB_SETUP_FILE=${WB_SETUP_FILE}"
          -P "${CMAKE_SOURCE_DIR}/cmake/MakeArchive.cmake"
  COMMENT "Making ${WB_RELEASE_NAME}.zip and its symbols archive"
  VERBATIM)
# The archive installs the build: it depends on every target whose output the install takes
# (recorded by cmake/Install.cmake), so that one command on a fresh folder builds them first.
get_property(installed_targets GLOBAL PROPERTY WB_INSTALLED_TARGETS)
if(NOT installed_targets)
  message(FATAL_ERROR "cmake/Install.cmake must be included before cmake/Archive.cmake")
endif()
add_dependencies(archive ${installed_targets})
# The setup is released beside the archives.
add_dependencies(archive setup)
