# What makes the shipped Windows binaries release-ready: hardening, a version resource and debug
# data kept in separate files.

# wb_harden(targets...)
# Stack protector with canaries in every function that has arrays or takes addresses, for the
# shipped binaries and the libraries they are made of. mingw's gcc links libssp for it; the
# -static link (toolchain file) takes libssp.a, so no DLL is added. The link option is public so
# that every program linking one of these libraries (tests too) gets libssp. The PE flags for
# ASLR, high-entropy ASLR and DEP are binutils' defaults.
function(wb_harden)
  if(NOT MINGW)
    return() # MSVC's /GS stack checks are on by default
  endif()
  foreach(target IN LISTS ARGN)
    target_compile_options(${target} PRIVATE -fstack-protector-strong)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "STATIC_LIBRARY")
      target_link_options(${target} INTERFACE -fstack-protector-strong)
    else()
      target_link_options(${target} PRIVATE -fstack-protector-strong)
    endif()
  endforeach()
endfunction()

set(WB_PRODUCT_NAME "Aerolumen for Prepar3D v4")
# Debug data of the shipped binaries, one "<binary>.debug" file each, laid out as in the release
# folder so that the symbols archive unpacks beside the binaries.
set(WB_SYMBOLS_DIR "${CMAKE_BINARY_DIR}/symbols")

# wb_version_resource(target DESCRIPTION text TYPE APP|DLL)
# Adds a VERSIONINFO resource with the project version, the product name, the description and
# the target's file name.
function(wb_version_resource target)
  cmake_parse_arguments(V "" "DESCRIPTION;TYPE" "" ${ARGN})
  get_target_property(output_name ${target} OUTPUT_NAME)
  if(NOT output_name)
    set(output_name ${target})
  endif()
  if(V_TYPE STREQUAL "DLL")
    set(WB_VI_FILE_TYPE 0x2)
    set(WB_VI_ORIGINAL_FILENAME "${output_name}.dll")
  else()
    set(WB_VI_FILE_TYPE 0x1)
    set(WB_VI_ORIGINAL_FILENAME "${output_name}.exe")
  endif()
  set(WB_VI_DESCRIPTION "${V_DESCRIPTION}")
  set(WB_VI_INTERNAL_NAME "${output_name}")
  set(rc "${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc")
  configure_file("${CMAKE_SOURCE_DIR}/cmake/VersionInfo.rc.in" "${rc}" @ONLY)
  target_sources(${target} PRIVATE "${rc}")
endfunction()

# wb_split_debug_info(target FOLDER folder)
# After each link: copies the DWARF data and the symbol table into
# "<symbols>/<folder>/<file>.debug", strips both from the binary (a fifth of its size is left) and
# links the binary to that file by name and checksum (.gnu_debuglink), which gdb and addr2line
# follow when the file lies beside the binary.
function(wb_split_debug_info target)
  if(NOT MINGW)
    return() # MSVC keeps debug data in .pdb files anyway
  endif()
  cmake_parse_arguments(S "" "FOLDER" "" ${ARGN})
  set(debug_file "${WB_SYMBOLS_DIR}/${S_FOLDER}/$<TARGET_FILE_NAME:${target}>.debug")
  # objcopy writes the time of its run into the PE header unless SOURCE_DATE_EPOCH names one: 0,
  # as the linker leaves it (see the reproducible-build options below).
  set(objcopy ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0 "${CMAKE_OBJCOPY}")
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory "${WB_SYMBOLS_DIR}/${S_FOLDER}"
    COMMAND ${objcopy} --only-keep-debug "$<TARGET_FILE:${target}>" "${debug_file}"
    COMMAND ${objcopy} --strip-all "--add-gnu-debuglink=${debug_file}" "$<TARGET_FILE:${target}>"
    VERBATIM)
endfunction()

# Reproducible binaries: the same source at the same version gives the same bytes wherever it is
# built. The linker writes no time stamp into the PE header (TimeDateStamp stays 0) and takes a
# DLL's image base from no path, and the source and build folders are written as
# "/aerolumen-src" and "/aerolumen-src/build" into the debug data, __FILE__ and assertion texts,
# so neither the folder nor the time of a build shows in the binaries or in their symbols files
# (tools/check-reproducible.sh checks this). The names are absolute so that debuggers show
# "/aerolumen-src/client/Exports.cpp" as it is; gdb's `set substitute-path /aerolumen-src <tree>`
# finds the sources in a checkout.
if(MINGW)
  add_compile_options("-ffile-prefix-map=${CMAKE_SOURCE_DIR}=/aerolumen-src"
                      "-ffile-prefix-map=${CMAKE_BINARY_DIR}=/aerolumen-src/build")
  # A DLL's automatic image base is a hash of the output path; the fixed default base keeps the
  # path out (the DLL is relocated at load time anyway: dynamic base).
  add_link_options(-Wl,--no-insert-timestamp -Wl,--disable-auto-image-base)
endif()
