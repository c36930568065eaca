# Boost String Algorithms is header-only. /usr/include must never be on the mingw include path
# (it would pull in glibc headers), so the build tree gets a folder holding only a link to the
# Boost headers, added as a system include folder.
set(WB_BOOST_SHIM "${CMAKE_BINARY_DIR}/boost-shim")
file(MAKE_DIRECTORY "${WB_BOOST_SHIM}")
if(NOT EXISTS "${WB_BOOST_SHIM}/boost")
  file(CREATE_LINK /usr/include/boost "${WB_BOOST_SHIM}/boost" SYMBOLIC)
endif()
add_library(boost_headers INTERFACE)
target_include_directories(boost_headers SYSTEM INTERFACE "${WB_BOOST_SHIM}")
