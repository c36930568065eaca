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

# The release's headers as add-ons meet them: a 32-bit compile stops at the header's #error; a
# C99 program with its own SIMCONNECT_RECV and DispatchProc compiles with the two macros that
# leave those names to it; the version macros give the package's version.
cc=x86_64-w64-mingw32-gcc-posix
printf '#include <Wirebridge.h>\n' >"$work/include-only.c"
if "$cc" -m32 -fsyntax-only -I "$release/include" "$work/include-only.c" >"$work/m32.log" 2>&1 ||
    ! grep -q '#error "Wirebridge.dll is a 64-bit DLL' "$work/m32.log"; then
  echo "a 32-bit compile did not stop at the header's #error:"; cat "$work/m32.log"; exit 1
fi
cat >"$work/own-declarations.c" <<'C'
#include <windows.h>
typedef struct SIMCONNECT_RECV {
  DWORD dwSize;
  DWORD dwVersion;
  DWORD dwID;
} SIMCONNECT_RECV;
typedef void(CALLBACK* DispatchProc)(SIMCONNECT_RECV* pData, DWORD cbData, void* pContext);
#define WIREBRIDGE_NO_SIMCONNECT_RECV
#define WIREBRIDGE_NO_DISPATCHPROC
#include <Wirebridge.h>
HRESULT dispatch(HANDLE handle, DispatchProc procedure) {
  return SimConnect_CallDispatch(handle, procedure, NULL);
}
C
"$cc" -std=c99 -pedantic-errors -Wall -Wextra -Werror -fsyntax-only -I "$release/include" \
  "$work/own-declarations.c" || { echo "the header clashes with a program's own declarations"; exit 1; }
package_version=$(sed -n 's/^set(PACKAGE_VERSION "\(.*\)")$/\1/p' "$version_file")
header_version=$(printf '#include <WirebridgeVersion.h>\nWIREBRIDGE_VERSION_MAJOR.WIREBRIDGE_VERSION_MINOR.WIREBRIDGE_VERSION_PATCH WIREBRIDGE_VERSION_STRING\n' |
  "$cc" -E -P -I "$release/include" - | tail -n 1 | sed 's/ \. /./g')
[ "$header_version" = "$package_version \"$package_version\"" ] ||
  { echo "the header's version ($header_version) is not the package's ($package_version)"; exit 1; }

# The cross toolchain confines the package search to its find roots
# (CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY). The package is found either through Wirebridge_DIR or
# with the release folder added to the find roots, both as the developer notes describe.
configure() {
  local build=$1
  shift
  if ! cmake -S "$repo/tests/consumer/project" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      "$@" >"$build.log" 2>&1; then
    echo "configuring the consumer against $release failed ($*):"; cat "$build.log"; return 1
  fi
  grep -q "Wirebridge .* from $release/lib/cmake/Wirebridge, package search mode ONLY" \
    "$build.log" || { echo "not the release's package, or not a confined search:"; cat "$build.log"; return 1; }
}
configure "$work/build" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
  -DWirebridge_DIR="$release/lib/cmake/Wirebridge" || exit 1
printf 'include("%s")\nlist(APPEND CMAKE_FIND_ROOT_PATH "%s")\n' \
  "$repo/cmake/mingw-w64-x86_64.cmake" "$release" >"$work/toolchain-with-release.cmake"
configure "$work/build-root-path" -DCMAKE_TOOLCHAIN_FILE="$work/toolchain-with-release.cmake" \
  -DCMAKE_PREFIX_PATH=/ || exit 1
# The import library follows the compiler: MinGW's for gcc, Wirebridge.lib for clang-cl (the
# Visual Studio ABI; configured only, as this machine has no Windows SDK libraries to link with).
cat >"$work/toolchain-clang-cl.cmake" <<'CMAKE'
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(CMAKE_C_COMPILER clang-cl-14)
set(CMAKE_C_COMPILER_TARGET x86_64-pc-windows-msvc)
set(CMAKE_C_COMPILER_WORKS TRUE)
CMAKE
if ! cmake -S "$repo/tests/consumer/project" -B "$work/build-clang-cl" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$work/toolchain-clang-cl.cmake" \
    -DWB_CONSUMER_CONFIGURE_ONLY=ON -DWirebridge_DIR="$release/lib/cmake/Wirebridge" \
    >"$work/build-clang-cl.log" 2>&1; then
  echo "configuring the consumer with clang-cl failed:"; cat "$work/build-clang-cl.log"; exit 1
fi
for pair in "build:libWirebridge.dll.a" "build-clang-cl:Wirebridge.lib"; do
  chosen=$(cat "$work/${pair%%:*}/import-library.txt")
  [ "$chosen" = "$release/lib/${pair#*:}" ] ||
    { echo "${pair%%:*}: the package chose $chosen, not ${pair#*:}"; exit 1; }
done
if ! cmake --build "$work/build" >"$work/build.log" 2>&1; then
  echo "building the consumer failed:"; cat "$work/build.log"; exit 1
fi

# The server serves the standard pipe only and writes nothing to the registry; it stops by
# itself should this script be killed.
"$runner" "$release/tools/simconnect-server.exe" --no-ipv4 --no-ipv6 --no-publish \
  --exit-after 60 >"$work/server.out" 2>&1 &
server=$!
status=0
# run <title> <folder> <program> [arguments...]: runs one program from the consumer's build.
run() {
  local title=$1 folder=$2
  shift 2
  (cd "$folder" && "$runner" "$@") >"$work/run.out" 2>&1
  local rc=$?
  echo "$title (exit code $rc):"
  sed 's/^/  /' "$work/run.out"
  [ "$rc" = 0 ] || status=1
}
run "program importing Wirebridge.dll" "$work/build" "$work/build/addon.exe"
# The host loads each add-on by full path with a plain LoadLibraryW from another folder.
addons=$(sed 's|^/|Z:/|; s|/|\\|g' <<<"$work/build/addons")
run "plain load of the add-on importing Wirebridge.dll: fails with 126" "$work/build/host" \
  "$work/build/host/host.exe" "$addons\\static_addon.dll" 126
run "plain load of the add-on using WirebridgeLoader.h" "$work/build/host" \
  "$work/build/host/host.exe" "$addons\\loader_addon.dll"
kill -TERM "$server" 2>/dev/null
wait "$server" 2>/dev/null
if [ "$status" != 0 ]; then
  echo "the consumer failed; server output:"
  sed 's/^/  /' "$work/server.out"
  exit 1
fi
echo "the consumer found Wirebridge $(sed -n 's/^set(PACKAGE_VERSION "\(.*\)")$/\1/p' \
  "$release/lib/cmake/Wirebridge/WirebridgeConfigVersion.cmake") through its CMake package and" \
  "talked to the stand-in server"
