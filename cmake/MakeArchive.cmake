# Script of the `archive` target (cmake/Archive.cmake): installs every component into a fresh
# staging folder named like the release, zips it, zips the symbols files the same way and writes
# the checksums.
foreach(variable WB_BUILD_DIR WB_RELEASE_NAME WB_SYMBOLS_DIR WB_DIST_DIR WB_SOURCE_DIR WB_DOCUMENTS
                 WB_SETUP_FILE)
  if(NOT ${variable})
    message(FATAL_ERROR "${variable} is not set")
  endif()
endforeach()

set(missing "")
foreach(document IN LISTS WB_DOCUMENTS)
  if(NOT EXISTS "${WB_SOURCE_DIR}/${document}")
    string(APPEND missing "\n  ${document}")
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "The archive needs these documents, which are missing:${missing}")
endif()

set(staging "${WB_BUILD_DIR}/archive")
set(release "${staging}/release/${WB_RELEASE_NAME}")
set(symbols "${staging}/symbols/${WB_RELEASE_NAME}")
file(REMOVE_RECURSE "${staging}")
file(MAKE_DIRECTORY "${release}" "${symbols}")

execute_process(
  COMMAND "${CMAKE_COMMAND}" --install "${WB_BUILD_DIR}" --prefix "${release}"
  RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "installing into ${release} failed")
endif()
file(COPY "${WB_SYMBOLS_DIR}/" DESTINATION "${symbols}")
# The symbols files are binaries of the release too: they carry the same third-party notices.
file(COPY "${WB_SOURCE_DIR}/THIRD-PARTY-NOTICES.txt" DESTINATION "${symbols}")

set(release_zip "${WB_DIST_DIR}/${WB_RELEASE_NAME}.zip")
set(symbols_zip "${WB_DIST_DIR}/${WB_RELEASE_NAME}-symbols.zip")
# Reproducible zips: the files in sorted order, each with the same time (SOURCE_DATE_EPOCH when
# set, else 2000-01-01), without owners or access times, so that the same files give the same
# archive bytes (cmake/ReproducibleZip.py).
find_program(WB_PYTHON NAMES python3 REQUIRED)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(archive_time "$ENV{SOURCE_DATE_EPOCH}")
else()
  set(archive_time 946684800)
endif()
foreach(pair "release;${release_zip}" "symbols;${symbols_zip}")
  list(GET pair 0 folder)
  list(GET pair 1 zip)
  file(REMOVE "${zip}")
  file(GLOB_RECURSE members RELATIVE "${staging}/${folder}" "${staging}/${folder}/*")
  list(SORT members)
  list(JOIN members "\n" member_lines)
  file(WRITE "${staging}/${folder}.files" "${member_lines}\n")
  execute_process(
    COMMAND "${WB_PYTHON}" "${WB_SOURCE_DIR}/cmake/ReproducibleZip.py" "${zip}"
            "${staging}/${folder}" "${staging}/${folder}.files" "${archive_time}"
    RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "zipping ${zip} failed")
  endif()
endforeach()

set(sums "")
# The setup (made by its own target) is checked with the archives.
foreach(zip "${release_zip}" "${symbols_zip}" "${WB_SETUP_FILE}")
  file(SHA256 "${zip}" hash)
  get_filename_component(name "${zip}" NAME)
  string(APPEND sums "${hash}  ${name}\n")
  file(SIZE "${zip}" size)
  message(STATUS "${name}: ${size} bytes")
endforeach()
file(WRITE "${WB_DIST_DIR}/SHA256SUMS" "${sums}")
