#!/usr/bin/env bash
# Checks a shipped Windows binary as it leaves the build: the expected kind (GUI program, console
# program or DLL), imports of Windows system DLLs only (the C++ runtime, threads and the stack
# protector's libssp are linked in statically), no DWARF sections but a debug link to the
# separate symbols file, and the PE flags for ASLR, high-entropy ASLR and DEP.
# Usage: check-dist-binary.sh <objdump> <binary> gui|console|dll
set -u
objdump=$1
binary=$2
kind=${3:-gui}
headers=$("$objdump" -p "$binary") || { echo "cannot read $binary"; exit 1; }
sections=$("$objdump" -h "$binary") || { echo "cannot read the sections of $binary"; exit 1; }
status=0
fail() { echo "$(basename "$binary"): $*"; status=1; }

characteristics=$(sed -n 's/^Characteristics[[:space:]]*0x\([0-9a-fA-F]*\).*/\1/p' <<<"$headers")
is_dll=$(( (0x${characteristics:-0} & 0x2000) != 0 ))
case $kind in
  gui) grep -Eq '^Subsystem[[:space:]]+00000002' <<<"$headers" || fail "not a Windows GUI program"
       [ "$is_dll" = 0 ] || fail "is a DLL, not a program" ;;
  console) grep -Eq '^Subsystem[[:space:]]+00000003' <<<"$headers" || fail "not a console program"
       [ "$is_dll" = 0 ] || fail "is a DLL, not a program" ;;
  dll) [ "$is_dll" = 1 ] || fail "not a DLL (Characteristics 0x$characteristics)" ;;
  *) echo "unknown kind $kind"; exit 2 ;;
esac

dlls=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
[ -n "$dlls" ] || fail "no imports found"
system_dll='^(kernel32|user32|shell32|advapi32|ole32|oleaut32|shlwapi|gdi32|comctl32|msvcrt|ucrtbase|ws2_32|api-ms-win-[a-z0-9-]+)\.dll$'
while read -r dll; do
  [ -n "$dll" ] || continue
  grep -Eiq "$system_dll" <<<"$dll" || fail "imports a DLL that is not part of Windows: $dll"
done <<<"$dlls"

debug_sections=$(awk '$2 ~ /^\.(z?debug|stab)/ { print $2 }' <<<"$sections" | tr '\n' ' ')
[ -z "$debug_sections" ] || fail "carries debug sections: $debug_sections"
grep -Eq '[[:space:]]\.gnu_debuglink[[:space:]]' <<<"$sections" ||
  fail "has no .gnu_debuglink to its symbols file"

flags=$(sed -n 's/^DllCharacteristics[[:space:]]*\([0-9a-fA-F]*\).*/\1/p' <<<"$headers")
for flag in 0x20:HIGH_ENTROPY_VA 0x40:DYNAMIC_BASE 0x100:NX_COMPAT; do
  (( (0x${flags:-0} & ${flag%%:*}) != 0 )) || fail "lacks the PE flag ${flag#*:}"
done

echo "$(basename "$binary"): imports" $dlls"; DllCharacteristics 0x$flags"
exit $status
