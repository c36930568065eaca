# Copies a text file with every line ending written as CRLF (for Notepad on older Windows).
# Usage: cmake -DINPUT=<file> -DOUTPUT=<file> -P CrlfText.cmake
file(READ "${INPUT}" text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${OUTPUT}" "${text}")
