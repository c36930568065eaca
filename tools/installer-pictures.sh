#!/usr/bin/env bash
# Takes the pictures of the setup's pages for the user guide (docs/images/setup-*.png): runs the
# built setup and its uninstaller under Wine on the build folder's virtual display (Xvfb),
# answers each page with the keyboard as a person would, and captures the window with xwd.
# Prints each run's exit code. Leaves the prefix as it found it: the install it makes is
# uninstalled, the stand-in simulator folder and the registry value it sets are removed.
# Usage: tools/installer-pictures.sh [windows-build-dir] [output-dir]
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$repo/build/windows}" && pwd)
out=$(mkdir -p "${2:-$repo/docs/images}" && cd "${2:-$repo/docs/images}" && pwd)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
setup="$repo/dist/Aerolumen-P3D4-$version-setup.exe"
[ -f "$setup" ] || { echo "no $setup: build the target setup first" >&2; exit 2; }
for tool in xdotool xwd xwdtopnm pnmtopng; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (tools/setup-machine.sh)" >&2; exit 2; }
done

export WB_WINE_ROOT="$build/wine"
run="$repo/cmake/wine-run.sh"
"$run" # prepares the session and its display
export DISPLAY=":$(cat "$WB_WINE_ROOT/display")"
prefix="$WB_WINE_ROOT/prefix"
simulator_unix="$prefix/drive_c/Program Files/Lockheed Martin/Prepar3D v4"
simulator='C:\Program Files\Lockheed Martin\Prepar3D v4'
machine_key='HKLM\SOFTWARE\Lockheed Martin\Prepar3D v4'
uninstaller='C:\users\root\AppData\Local\Programs\Aerolumen P3D4\uninstall.exe'

started=()
vendor_key='HKLM\SOFTWARE\Lockheed Martin'
vendor_key_existed=no
"$run" reg query "$vendor_key" >/dev/null 2>&1 && vendor_key_existed=yes
cleanup() {
  for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; done
  if [ "$vendor_key_existed" = yes ]; then
    "$run" reg delete "$machine_key" /v SetupPath /f >/dev/null 2>&1 || true
  else
    "$run" reg delete "$vendor_key" /f >/dev/null 2>&1 || true
  fi
  rm -rf "$prefix/drive_c/Program Files/Lockheed Martin"
}
trap cleanup EXIT
mkdir -p "$simulator_unix"
cp "$build/tools/standin-p3d/prepar3d.exe" "$simulator_unix/"
if "$run" reg query "$machine_key" /v SetupPath >/dev/null 2>&1; then
  trap - EXIT
  echo "the prefix already has a SetupPath value; not touching it" >&2
  exit 1
fi
"$run" reg add "$machine_key" /v SetupPath /d "$simulator\\" /f >/dev/null

# The newest visible window whose title is $1 (Wine may add a blank at its end), other than the
# window $2 when given (a message box of that window); waits up to 60 s (Wine is slow on a busy
# machine).
window() {
  local id
  for _ in $(seq 600); do
    id=$(xdotool search --onlyvisible --name "^$1 ?\$" 2>/dev/null | grep -v "^${2:-}\$" |
      tail -n 1 || true)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1
  done
  echo "no window \"$1\"${2:+ besides $2}" >&2
  return 1
}
# Presses a key on the window $1 as a person would: pointer onto it, then the key.
press() {
  eval "$(xdotool getwindowgeometry --shell "$1")"
  xdotool mousemove $((X + 20)) $((Y + 20)) key "$2"
  sleep 1
}
shoot() {
  sleep 1
  xwd -silent -id "$1" | xwdtopnm 2>/dev/null | pnmtopng -compression 9 >"$out/$2"
  echo "  picture $2"
}

title="Aerolumen for Prepar3D v4 Setup"
echo "1. A folder without prepar3d.exe, given on the command line, then Cancel"
"$run" "Z:${setup//\//\\}" '/P3D=C:\Games\Prepar3D' &
setup_pid=$!
started+=("$setup_pid")
main=$(window "$title")
press "$main" Return # welcome
press "$main" Return # next: refused
box=$(window "$title" "$main")
shoot "$box" setup-folder-refused.png
press "$box" Return
press "$main" Escape
press "$(window "$title" "$main")" y
wait "$setup_pid" && code=0 || code=$?
echo "  exit code $code"

echo "2. Found through the registry, installed with the defaults"
"$run" "Z:${setup//\//\\}" &
setup_pid=$!
started+=("$setup_pid")
main=$(window "$title")
shoot "$main" setup-welcome.png
press "$main" Return
shoot "$main" setup-simulator-folder.png
press "$main" Return
shoot "$main" setup-install-folder.png
press "$main" Return
shoot "$main" setup-components.png
press "$main" Return # Install
sleep 3
shoot "$main" setup-finish.png
press "$main" Return
wait "$setup_pid" && code=0 || code=$?
echo "  exit code $code"

echo "3. The uninstaller, keeping the settings"
"$run" "$uninstaller" &
uninstall_pid=$!
started+=("$uninstall_pid")
untitle="Aerolumen for Prepar3D v4 Uninstall"
main=$(window "$untitle")
press "$main" Return # confirm page
shoot "$main" uninstall-settings.png
press "$main" Return # Uninstall
sleep 3
press "$main" Return # Close
wait "$uninstall_pid" || true
# The uninstaller hands over to a copy of itself: wait until it has removed the install.
for _ in $(seq 100); do
  [ -e "$prefix/drive_c/users/root/AppData/Local/Programs/Aerolumen P3D4" ] || break
  sleep 0.2
done
