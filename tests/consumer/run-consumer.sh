#!/usr/bin/env bash
# Builds the add-on project tests/consumer/project against a Wirebridge release folder (an install
# prefix or an unpacked archive) through its CMake package, with the mingw-w64 toolchain, and runs
# it under Wine against the release's own stand-in server, tools/simconnect-server.exe.
# With --install, first installs the runtime, sdk and tools components of that build folder into
# the release folder.
# Usage: run-consumer.sh <release-folder> <work-folder> [--install <windows-build-dir>]
# Needs WB_WINE_ROOT (the Wine session to run in).
set -u
if [ "$#" -ne 2 ] && [ "$#" -ne 4 ]; then
  echo "usage: $0 <release-folder> <work-folder> [--install <windows-build-dir>]" >&2
  exit 2
fi
: "${WB_WINE_ROOT:?WB_WINE_ROOT names the Wine session}"
release=$1 work=$2
repo=$(cd "$(dirname "$0")/../.." && pwd)
runner="$repo/cmake/wine-run.sh"
rm -rf "$work" && mkdir -p "$work" || exit 1

if [ "$#" -eq 4 ]; then
  rm -rf "$release"
  for component in runtime sdk tools; do
    cmake --install "$4" --prefix "$release" --component "$component" >/dev/null ||
      { echo "installing the $component component failed"; exit 1; }
  done
fi
release=$(cd "$release" && pwd) || exit 1

# The version file accepts any 1.x request up to the version itself, and no other major version.
version_file="$release/lib/cmake/Wirebridge/WirebridgeConfigVersion.cmake"
printf 'include("%s")\nif(PACKAGE_VERSION_COMPATIBLE)\n  message("compatible")\nendif()\n' \
  "$version_file" >"$work/version-request.cmake"
accepts() {
  local major minor
  IFS=. read -r major minor _ <<<"$1"
  cmake -DPACKAGE_FIND_VERSION="$1" -DPACKAGE_FIND_VERSION_MAJOR="$major" \
    -DPACKAGE_FIND_VERSION_MINOR="${minor:-0}" -DCMAKE_SIZEOF_VOID_P=8 \
    -P "$work/version-request.cmake" 2>&1 | grep -q '^compatible$'
}
for request in 1 1.0 1.0.0; do
  accepts "$request" || { echo "the package refuses a request for version $request"; exit 1; }
done
for request in 0.9 2.0 1.99; do
  accepts "$request" && { echo "the package accepts a request for version $request"; exit 1; }
done

# The package is found through Wirebridge_DIR: the cross toolchain confines the usual search
# paths to the mingw sysroot.
if ! cmake -S "$repo/tests/consumer/project" -B "$work/build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DWirebridge_DIR="$release/lib/cmake/Wirebridge" >"$work/configure.log" 2>&1; then
  echo "configuring the consumer against $release failed:"; cat "$work/configure.log"; exit 1
fi
if ! cmake --build "$work/build" >"$work/build.log" 2>&1; then
  echo "building the consumer failed:"; cat "$work/build.log"; exit 1
fi

# The server serves the standard pipe only and writes nothing to the registry; it stops by
# itself should this script be killed.
"$runner" "$release/tools/simconnect-server.exe" --no-ipv4 --no-ipv6 --no-publish \
  --exit-after 60 >"$work/server.out" 2>&1 &
server=$!
(cd "$work/build" && "$runner" "$work/build/addon.exe") >"$work/addon.out" 2>&1
addon_rc=$?
kill -TERM "$server" 2>/dev/null
wait "$server" 2>/dev/null
sed 's/^/  /' "$work/addon.out"
if [ "$addon_rc" != 0 ]; then
  echo "the consumer failed (exit code $addon_rc); server output:"
  sed 's/^/  /' "$work/server.out"
  exit 1
fi
echo "the consumer found Wirebridge $(sed -n 's/^set(PACKAGE_VERSION "\(.*\)")$/\1/p' \
  "$release/lib/cmake/Wirebridge/WirebridgeConfigVersion.cmake") through its CMake package and" \
  "talked to the stand-in server"
