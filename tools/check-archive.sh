#!/usr/bin/env bash
# Checks the release archives in a dist folder the way a user and an add-on developer meet them:
# unpacks both into an empty folder, checks the checksums, the file list, the shipped binaries
# (no debug sections, system imports only, PE flags, version resource), the third-party notices in
# both archives and their reproducible order and times, that the symbols archive
# resolves an address of the stripped DLL, runs the demo's whole road from the unpacked
# launcher and DLL, and builds and runs the consumer project against the unpacked CMake package.
# Prints each check with its time and a closing line "archive checks: N passed, N failed".
# Usage: tools/check-archive.sh <windows-build-dir> <dist-dir>
set -u
if [ "$#" -ne 2 ]; then
  echo "usage: $0 <windows-build-dir> <dist-dir>" >&2
  exit 2
fi
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd) || exit 2
dist=$(cd "$2" && pwd) || exit 2
export WB_WINE_ROOT="$build/wine"
cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
version=$(cache CMAKE_PROJECT_VERSION)
objdump=$(cache CMAKE_OBJDUMP)
name="Aerolumen-P3D4-$version-win64"
work=$(mktemp -d "${TMPDIR:-/tmp}/check-archive.XXXXXX")
trap 'rm -rf "$work"' EXIT
root="$work/unpacked/$name"

passed=0
failed=0
# check <title> <command...>: runs one check, prints its result and time, counts it.
check() {
  local title=$1 start=$SECONDS
  shift
  if "$@" >"$work/check.log" 2>&1; then
    passed=$((passed + 1))
    echo "  ok    $title ($((SECONDS - start)) s)"
  else
    failed=$((failed + 1))
    echo "  FAIL  $title ($((SECONDS - start)) s)"
    sed 's/^/        /' "$work/check.log"
  fi
}

# Both archives and the setup are listed, and each matches its checksum.
checksums() {
  local file
  for file in "$name.zip" "$name-symbols.zip" "Aerolumen-P3D4-$version-setup.exe"; do
    grep -q "  $file\$" "$dist/SHA256SUMS" || { echo "not in SHA256SUMS: $file"; return 1; }
  done
  (cd "$dist" && sha256sum -c SHA256SUMS)
}

unpack() {
  [ -f "$dist/$name.zip" ] && [ -f "$dist/$name-symbols.zip" ] || { echo "no archives"; return 1; }
  mkdir "$work/unpacked" && cd "$work/unpacked" &&
    unzip -q "$dist/$name.zip" && unzip -q -o "$dist/$name-symbols.zip" # both hold the notices
}

file_list() {
  local status=0 file
  for file in bin/AerolumenP3D4.exe bin/Wirebridge.dll bin/wirebridge-probe.exe \
      include/Wirebridge.h include/WirebridgeVersion.h include/WirebridgeLoader.h \
      THIRD-PARTY-NOTICES.txt lib/libWirebridge.dll.a lib/Wirebridge.lib lib/Wirebridge.def \
      lib/cmake/Wirebridge/WirebridgeConfig.cmake lib/cmake/Wirebridge/WirebridgeConfigVersion.cmake \
      lib/cmake/Wirebridge/WirebridgeTargets.cmake \
      tools/simconnect-server.exe tools/simconnect-server.md \
      share/doc/Aerolumen/user-guide.md share/doc/Aerolumen/user-guide.txt \
      share/doc/Aerolumen/developer-notes.md share/doc/Aerolumen/symbols.md \
      share/doc/Aerolumen/trace.md \
      share/doc/Aerolumen/CHANGELOG.md \
      share/doc/Aerolumen/images/message-boxes.png \
      share/doc/Aerolumen/images/setup-simulator-folder.png \
      share/doc/Aerolumen/images/uninstall-settings.png \
      bin/AerolumenP3D4.exe.debug bin/Wirebridge.dll.debug bin/wirebridge-probe.exe.debug \
      tools/simconnect-server.exe.debug; do
    [ -s "$root/$file" ] || { echo "missing: $file"; status=1; }
  done
  # For the project's own developers only.
  [ ! -e "$root/share/doc/Aerolumen/ARCHITECTURE.md" ] ||
    { echo "shipped, but not for the archive's users: ARCHITECTURE.md"; status=1; }
  return $status
}

# Each archive by itself carries the third-party notices, with the exception of the GCC runtime,
# and stores its files in sorted order with one time and no owners (reproducible bytes).
archive_notices_and_order() {
  python3 - "$dist/$name.zip" "$dist/$name-symbols.zip" "$name" <<'PYTHON'
import sys, zipfile
status = 0
for path in sys.argv[1:3]:
    archive = zipfile.ZipFile(path)
    members = archive.infolist()
    names = [member.filename for member in members]
    label = path.rsplit("/", 1)[-1]
    notices = sys.argv[3] + "/THIRD-PARTY-NOTICES.txt"
    if notices not in names:
        print(label + ": no " + notices); status = 1
    elif b"GCC RUNTIME LIBRARY EXCEPTION" not in archive.read(notices):
        print(label + ": the notices lack the GCC Runtime Library Exception"); status = 1
    if names != sorted(names):
        print(label + ": files not in sorted order"); status = 1
    if len({member.date_time for member in members}) != 1 or any(m.extra for m in members):
        print(label + ": files with different times or extra fields"); status = 1
    print(label + ": " + str(len(names)) + " files")
sys.exit(status)
PYTHON
}

binaries() {
  local status=0
  bash "$repo/tests/launcher/check-dist-binary.sh" "$objdump" "$root/bin/AerolumenP3D4.exe" gui || status=1
  bash "$repo/tests/launcher/check-dist-binary.sh" "$objdump" "$root/bin/Wirebridge.dll" dll || status=1
  bash "$repo/tests/launcher/check-dist-binary.sh" "$objdump" "$root/tools/simconnect-server.exe" \
    console || status=1
  bash "$repo/tests/launcher/check-dist-binary.sh" "$objdump" "$root/bin/wirebridge-probe.exe" \
    console || status=1
  return $status
}

# The VERSIONINFO block: its key, then FileVersion and ProductVersion with the version text.
version_resources() {
  python3 - "$version" "$root/bin/AerolumenP3D4.exe" "$root/bin/Wirebridge.dll" \
    "$root/bin/wirebridge-probe.exe" "$root/tools/simconnect-server.exe" \
    "$dist/Aerolumen-P3D4-$version-setup.exe" <<'PYTHON'
import sys
version = sys.argv[1]
status = 0
for path in sys.argv[2:]:
    data = open(path, "rb").read()
    def wide(text): return text.encode("utf-16-le")
    start = data.find(wide("VS_VERSION_INFO"))
    found = start >= 0 and all(
        data.find(wide(key + "\0") , start) >= 0 and wide(version + "\0") in data[start:]
        for key in ("FileVersion", "ProductVersion", "ProductName", "OriginalFilename"))
    print(path.rsplit("/", 1)[-1] + (": version " + version if found else ": no version resource"))
    status |= not found
sys.exit(status)
PYTHON
}

# addr2line follows the stripped DLL's debug link to the unpacked symbols file.
symbols_resolve() {
  local headers base index rva line
  headers=$("$objdump" -p "$root/bin/Wirebridge.dll") || return 1
  base=$(sed -n 's/^ImageBase[[:space:]]*//p' <<<"$headers")
  index=$(sed -n 's/^[[:space:]]*\[ *\([0-9]*\)\] SimConnect_Open$/\1/p' <<<"$headers")
  [ -n "$index" ] || { echo "SimConnect_Open is not exported"; return 1; }
  rva=$(sed -n "s/^[[:space:]]*\\[ *$index\\] +base\\[ *[0-9]*\\] \\([0-9a-f]*\\) .*/\\1/p" <<<"$headers")
  [ -n "$base" ] && [ -n "$rva" ] || { echo "no address for SimConnect_Open"; return 1; }
  line=$(cd "$root/bin" && "${objdump%objdump}addr2line" -f -e Wirebridge.dll \
    "$(printf '0x%x' $((0x$base + 0x$rva)))" | head -n 1)
  echo "SimConnect_Open at 0x$rva resolves to: $line"
  [ "$line" = SimConnect_Open ]
}

echo "== archive: $name from $dist"
check "checksums (SHA256SUMS)" checksums
check "unpack both archives into an empty folder" unpack
check "file list" file_list
check "shipped binaries: no debug sections, system imports, PE flags" binaries
check "third-party notices in both archives, files in sorted order with one time" \
  archive_notices_and_order
check "version resource $version in every shipped program, the DLL and the setup" \
  version_resources
check "symbols archive resolves an address of the stripped DLL" symbols_resolve
check "whole-road demo from the unpacked launcher and DLL" \
  bash "$repo/tools/demo/whole-road-demo.sh" "$build" "$root"
check "consumer project against the unpacked CMake package" \
  bash "$repo/tests/consumer/run-consumer.sh" "$root" "$work/consumer"
echo "archive checks: $passed passed, $failed failed"
[ "$failed" = 0 ]
