#!/usr/bin/env bash
# Checks the dist AerolumenP3D4.exe as the linker left it: a Windows GUI program that imports
# Windows system DLLs only (the C++ runtime and threads are linked in statically).
# Usage: check-dist-binary.sh <objdump> <exe>
set -u
objdump=$1
exe=$2
headers=$("$objdump" -p "$exe") || { echo "cannot read $exe"; exit 1; }
status=0

if ! grep -Eq '^Subsystem[[:space:]]+00000002' <<<"$headers"; then
  echo "not a Windows GUI program:"; grep '^Subsystem' <<<"$headers"; status=1
fi

dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
[ -n "$dlls" ] || { echo "no imports found"; status=1; }
system_dll='^(kernel32|user32|shell32|advapi32|ole32|oleaut32|shlwapi|gdi32|comctl32|msvcrt|ucrtbase|ws2_32|api-ms-win-[a-z0-9-]+)\.dll$'
while read -r dll; do
  [ -n "$dll" ] || continue
  if ! grep -Eiq "$system_dll" <<<"$dll"; then
    echo "imports a DLL that is not part of Windows: $dll"; status=1
  fi
done <<<"$dlls"

echo "imports:" $dlls
exit $status
