# The release layout of `cmake --install` (also the content of the release archive), by
# component:
#   runtime  bin/       AerolumenP3D4.exe, Wirebridge.dll
#   sdk      include/   Wirebridge.h, WirebridgeVersion.h (generated), WirebridgeLoader.h
#            lib/       libWirebridge.dll.a (MinGW), Wirebridge.lib (Visual Studio), Wirebridge.def,
#                       cmake/Wirebridge/ (the CMake package)
#   tools    tools/     simconnect-server.exe, the stand-in SimConnect server, and simconnect-server.md
#   runtime  THIRD-PARTY-NOTICES.txt  notices of the third-party code in the binaries
#   docs     share/doc/Aerolumen/  user guide (.md and .txt), developer notes, trace, changes,
#                       symbols (ARCHITECTURE.md is for the project's own developers and stays in
#                       the repository)
include(CMakePackageConfigHelpers)
include(GNUInstallDirs)

set(WB_PACKAGE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/Wirebridge")
set(WB_DOC_DIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/Aerolumen")

# Everything built that the install tree holds is installed through these two, which record the
# target that makes it (global property WB_INSTALLED_TARGETS): the archive (cmake/Archive.cmake)
# depends on exactly those targets, so that it never packs a file that is missing or out of date.
set_property(GLOBAL PROPERTY WB_INSTALLED_TARGETS "")
# wb_install_target(<target> <arguments of install(TARGETS) after the target>...)
function(wb_install_target target)
  install(TARGETS ${target} ${ARGN})
  set_property(GLOBAL APPEND PROPERTY WB_INSTALLED_TARGETS ${target})
endfunction()
# wb_install_built_file(<file> <target that makes it> <arguments of install(FILES) after it>...)
function(wb_install_built_file file maker)
  install(FILES "${file}" ${ARGN})
  set_property(GLOBAL APPEND PROPERTY WB_INSTALLED_TARGETS ${maker})
endfunction()

wb_install_target(AerolumenP3D4 RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT runtime)
# The probe loads the Wirebridge.dll beside it.
wb_install_target(wirebridge-probe RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT runtime)
target_include_directories(Wirebridge INTERFACE "$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>")
wb_install_target(Wirebridge EXPORT WirebridgeTargets
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT runtime
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT sdk)
if(MINGW)
  wb_install_built_file("${WB_DIST_DIR}/Wirebridge.lib" wirebridge_msvc_import_library
    DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT sdk)
endif()
install(FILES "${CMAKE_SOURCE_DIR}/client/Wirebridge.def"
  DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT sdk)
install(FILES "${CMAKE_SOURCE_DIR}/include/Wirebridge.h" "${CMAKE_SOURCE_DIR}/include/WirebridgeLoader.h"
              "${WB_GENERATED_INCLUDE_DIR}/WirebridgeVersion.h"
  DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}" COMPONENT sdk)

install(EXPORT WirebridgeTargets NAMESPACE Wirebridge::
  DESTINATION "${WB_PACKAGE_DIR}" COMPONENT sdk)
configure_package_config_file("${CMAKE_SOURCE_DIR}/cmake/WirebridgeConfig.cmake.in"
  "${CMAKE_BINARY_DIR}/package/WirebridgeConfig.cmake"
  INSTALL_DESTINATION "${WB_PACKAGE_DIR}"
  PATH_VARS CMAKE_INSTALL_LIBDIR)
write_basic_package_version_file("${CMAKE_BINARY_DIR}/package/WirebridgeConfigVersion.cmake"
  VERSION "${PROJECT_VERSION}"
  COMPATIBILITY SameMajorVersion)
install(FILES "${CMAKE_BINARY_DIR}/package/WirebridgeConfig.cmake"
              "${CMAKE_BINARY_DIR}/package/WirebridgeConfigVersion.cmake"
  DESTINATION "${WB_PACKAGE_DIR}" COMPONENT sdk)

wb_install_target(simconnect-server RUNTIME DESTINATION tools COMPONENT tools)
install(FILES "${CMAKE_SOURCE_DIR}/tools/simserver/simconnect-server.md"
  DESTINATION tools COMPONENT tools)

# The documents are written beside the code; a missing one fails the install and the archive
# with the name of the file. The archive takes them from this list.
set(WB_DOCUMENTS
  docs/user-guide.md
  docs/user-guide.txt
  docs/developer-notes.md
  docs/symbols.md
  docs/trace.md
  CHANGELOG.md)
foreach(document IN LISTS WB_DOCUMENTS)
  install(FILES "${CMAKE_SOURCE_DIR}/${document}" DESTINATION "${WB_DOC_DIR}" COMPONENT docs)
endforeach()
# The notices of the third-party code the binaries carry (GCC runtime, MinGW-w64 runtime and
# winpthreads, Boost), at the top of the release; the symbols archive carries them too.
install(FILES "${CMAKE_SOURCE_DIR}/THIRD-PARTY-NOTICES.txt" DESTINATION . COMPONENT runtime)

# The user guide's pictures, where its links expect them.
install(FILES "${CMAKE_SOURCE_DIR}/docs/images/message-boxes.png"
  DESTINATION "${WB_DOC_DIR}/images" COMPONENT docs)
# The setup's pages, as the user guide shows them (tools/installer-pictures.sh takes them).
foreach(picture setup-welcome setup-simulator-folder setup-folder-refused setup-install-folder
                setup-components setup-finish uninstall-settings)
  install(FILES "${CMAKE_SOURCE_DIR}/docs/images/${picture}.png"
    DESTINATION "${WB_DOC_DIR}/images" COMPONENT docs)
endforeach()
