# Writes WB_TEXT_SOURCE (Markdown) to WB_TEXT_OUTPUT as plain text for Windows: CRLF line ends,
# no code fences, backticks or bold marks. Run at install time by cmake/Install.cmake.
if(NOT EXISTS "${WB_TEXT_SOURCE}")
  message(FATAL_ERROR "missing document: ${WB_TEXT_SOURCE}")
endif()
file(READ "${WB_TEXT_SOURCE}" text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REGEX REPLACE "(^|\n)```[^\n]*" "\\1" text "${text}")
string(REPLACE "`" "" text "${text}")
string(REPLACE "**" "" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
message(STATUS "Writing: ${WB_TEXT_OUTPUT}")
file(WRITE "${WB_TEXT_OUTPUT}" "${text}")
