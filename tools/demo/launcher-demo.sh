#!/usr/bin/env bash
# Runs the real AerolumenP3D4.exe under Wine in a fresh folder holding the stand-in prepar3d.exe
# and tells in plain words what happened: how the simulator was started, what it found in the
# settings file when it began to run, where that file lies, and the launcher's exit code.
#
# Usage: tools/demo/launcher-demo.sh <windows-build-dir> <dist-dir>
set -u

if [ "$#" -ne 2 ]; then
  echo "usage: $0 <windows-build-dir> <dist-dir>" >&2
  exit 2
fi
build=$(cd "$1" && pwd) || exit 2
dist=$(cd "$2" && pwd) || exit 2
repo=$(cd "$(dirname "$0")/../.." && pwd)
runner="$repo/cmake/wine-run.sh"
launcher="$dist/AerolumenP3D4.exe"
standin="$build/tools/standin-p3d/prepar3d.exe"
export WB_WINE_ROOT="$build/wine"

for file in "$launcher" "$standin"; do
  [ -f "$file" ] || { echo "missing $file: build the windows preset first" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/aerolumen-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$standin" "$work/prepar3d.exe"
report="$work/standin-report.txt"
# Windows programs see the Unix root as drive Z:.
export AEROLUMEN_STANDIN_REPORT="Z:${report//\//\\}"

# Windows path of the settings file -> its Unix path inside this build's Wine prefix.
unix_path_of() {
  local path=$1 drive rest
  drive=$(printf '%s' "${path:0:1}" | tr 'A-Z' 'a-z')
  rest=${path:2}
  rest=${rest//\\//}
  if [ "$drive" = z ]; then printf '%s\n' "$rest"; else printf '%s\n' "$WB_WINE_ROOT/prefix/drive_$drive$rest"; fi
}

field() { sed -n "s/^$1=//p" "$report" | head -n 1; }

# FILETIME (100 ns since 1601) -> readable UTC time.
readable_time() {
  local seconds=$(( ($1 - 116444736000000000) / 10000000 ))
  local fraction=$(( ($1 / 10000) % 1000 ))
  printf '%s.%03d UTC' "$(date -u -d "@$seconds" '+%H:%M:%S')" "$fraction"
}

echo "Aerolumen launcher demo"
echo "  launcher:  $launcher"
echo "  simulator: the stand-in prepar3d.exe, copied into $work"
echo

# Start from no settings file, so that the VR-mode entry can only come from this launch. The
# Wine prefix belongs to this build folder; the folder is the one the launcher uses.
"$runner" || { echo "could not prepare the Wine session" >&2; exit 1; }
for old in "$WB_WINE_ROOT"/prefix/drive_c/users/*/AppData/Roaming/Aerolumen/"settings_pro_Aerolumen P3Dv4_settings.ini"; do
  [ -f "$old" ] && rm -f "$old" && echo "Removed the settings file of an earlier run: $old"
done

echo "Running AerolumenP3D4.exe (no arguments) in $work ..."
(cd "$work" && "$runner" "$launcher")
exit_code=$?

for _ in $(seq 300); do
  [ -s "$report" ] && break
  sleep 0.1
done
echo
if [ ! -s "$report" ]; then
  echo "The launcher exited with code $exit_code, but prepar3d.exe never ran (no report within 30 s)."
  exit 1
fi

created=$(field processCreated)
first_run=$(field firstRun)
written=$(field settingsWritten)
settings_windows=$(field settingsPath)
settings_unix=$(unix_path_of "$settings_windows")
found=$(field forceVrModeFound)
value=$(field forceVrModeValue)

echo "What happened"
echo "1. AerolumenP3D4.exe exited with code $exit_code."
echo "2. prepar3d.exe ran as process $(field processId), started from $(field modulePath),"
echo "   with nothing but its own name as command line: $(field commandLine)"
echo "3. How it was started:"
echo "   - process created:               $(readable_time "$created")"
if [ "$written" != 0 ]; then
  echo "   - settings file last written:    $(readable_time "$written") ($(( (written - created) / 10000 )) ms after creation)"
fi
echo "   - its first instruction ran:     $(readable_time "$first_run") ($(( (first_run - created) / 10000 )) ms after creation)"
if [ "$written" != 0 ] && [ "$created" -le "$written" ] && [ "$written" -le "$first_run" ]; then
  echo "   The file was written after the process had been created and before it ran any code."
fi
if [ "$found" = yes ] && [ "$value" = 1 ]; then
  echo "   The file did not exist before this launch, yet at its very first instruction the"
  echo "   simulator already found the VR-mode entry. The launcher writes that entry only after"
  echo "   creating the process with CREATE_SUSPENDED, so no code of the simulator ran until the"
  echo "   entry was on disk and the launcher resumed its main thread: started suspended, then"
  echo "   resumed."
else
  echo "   At its first instruction the simulator did not find ForceVRMode = 1: the entry was not"
  echo "   on disk before the simulator began to run."
fi
if [ "$found" = yes ]; then
  echo "4. When it began to run it found in section [Loading]: ForceVRMode = $value"
else
  echo "4. When it began to run it found no ForceVRMode entry in section [Loading]."
fi
echo "5. The settings file lies at"
echo "   Windows path: $settings_windows"
echo "   Unix path:    $settings_unix"
echo "6. Its content now:"
if [ -f "$settings_unix" ]; then
  sed -e 's/\r$//' -e 's/^/   | /' "$settings_unix"
else
  echo "   (the file does not exist)"
fi

[ "$exit_code" = 0 ] && [ "$found" = yes ] && [ "$value" = 1 ]
