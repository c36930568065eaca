#!/usr/bin/env bash
# Links a program compiled for the MSVC ABI against Wirebridge.lib with lld-link, as Visual
# Studio's linker would, and checks that the result imports all eight functions from
# Wirebridge.dll by name.
# Usage: check-msvc-link.sh <clang> <lld-link> <llvm-readobj> <Wirebridge.lib> <source.c> <work-dir>
set -u
clang=$1 lld_link=$2 readobj=$3 import_library=$4 source=$5 work=$6
rm -rf "$work" && mkdir -p "$work" || exit 1
"$clang" --target=x86_64-pc-windows-msvc -O1 -ffreestanding -c "$source" -o "$work/program.obj" ||
  { echo "compiling for the MSVC ABI failed"; exit 1; }
"$lld_link" /nologo /nodefaultlib /entry:start /subsystem:console /out:"$work/program.exe" \
  "$work/program.obj" "$import_library" || { echo "lld-link failed against $import_library"; exit 1; }
imports=$("$readobj" --coff-imports "$work/program.exe") || exit 1

status=0
grep -Eq '^[[:space:]]*Name: Wirebridge\.dll$' <<<"$imports" ||
  { echo "the program does not import from Wirebridge.dll:"; echo "$imports"; status=1; }
for function in SimConnect_CallDispatch SimConnect_Open SimConnect_MapClientEventToSimEvent \
    SimConnect_TransmitClientEvent SimConnect_AddToDataDefinition \
    SimConnect_RequestDataOnSimObject SimConnect_SetDataOnSimObject \
    SimConnect_RequestSystemState; do
  grep -Eq "^[[:space:]]*Symbol: $function \\(" <<<"$imports" ||
    { echo "not imported by name: $function"; status=1; }
done
[ "$status" = 0 ] && echo "program.exe imports the eight functions from Wirebridge.dll"
exit $status
