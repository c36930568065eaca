#!/usr/bin/env bash
# Builds Wirebridge.dll and the launcher twice from this source, in two build folders at different
# paths, and checks that both builds give byte-identical files: the binaries, their import
# library and their symbols files; and that neither build folder's path appears in them.
# Only those targets are built, without the tests, to keep it cheap.
# Usage: tools/check-reproducible.sh [work-folder]   (default: a fresh temporary folder)
# Prints the hash of every file and a closing line "reproducible: N identical, N differ".
set -u
repo=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-}
if [ -z "$work" ]; then
  work=$(mktemp -d "${TMPDIR:-/tmp}/reproducible.XXXXXX")
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work" && work=$(cd "$work" && pwd) || exit 2
# Two paths that differ in name and in length.
builds=("$work/first" "$work/second/build-at-another-depth")
files=(dist/Wirebridge.dll dist/libWirebridge.dll.a dist/AerolumenP3D4.exe
       build/symbols/bin/Wirebridge.dll.debug build/symbols/bin/AerolumenP3D4.exe.debug)

for folder in "${builds[@]}"; do
  rm -rf "$folder" && mkdir -p "$folder" || exit 2
  if ! cmake -S "$repo" -B "$folder/build" -G Ninja \
      -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DWB_DIST_DIR="$folder/dist" \
      >"$folder/configure.log" 2>&1; then
    echo "configuring $folder failed:"; cat "$folder/configure.log"; exit 1
  fi
  if ! cmake --build "$folder/build" --target Wirebridge AerolumenP3D4 -j 2 \
      >"$folder/build.log" 2>&1; then
    echo "building in $folder failed:"; tail -n 40 "$folder/build.log"; exit 1
  fi
done

identical=0
differ=0
for file in "${files[@]}"; do
  first=$(sha256sum <"${builds[0]}/$file" | cut -d' ' -f1)
  second=$(sha256sum <"${builds[1]}/$file" | cut -d' ' -f1)
  leaked=""
  for folder in "${builds[@]}"; do
    grep -q -a -F "$folder" "${builds[0]}/$file" "${builds[1]}/$file" && leaked+=" $folder"
  done
  if [ "$first" = "$second" ] && [ -z "$leaked" ]; then
    identical=$((identical + 1))
    echo "  same    $first  $file"
  else
    differ=$((differ + 1))
    echo "  DIFFER  $first $second  $file${leaked:+ (holds the path of$leaked)}"
  fi
done
echo "reproducible: $identical identical, $differ differ"
[ "$differ" = 0 ]
