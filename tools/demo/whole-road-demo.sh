#!/usr/bin/env bash
# The whole system under Wine, the way a person starts it: the real AerolumenP3D4.exe starts our
# stand-in prepar3d.exe suspended, writes the VR-mode entry and resumes it. The stand-in then
# plays Prepar3D v4: it reports the VR mode it finds, serves SimConnect on the named pipe and TCP,
# creates its FS98MAIN window and loads SampleAddon.dll, which opens through the real
# Wirebridge.dll inside the simulator's process and moves to the in-process host path after its
# open reply. While it runs, sample-client.exe opens from another process over the named pipe and
# over TCP (IPv4), each with one request of every kind.
# Prints every request and every dispatched reply, per path, then the simulator's summary. Exit
# code 0 when the simulator balanced everything and both clients got all their replies.
#
# The deliverables come from <release-dir>: the build's dist folder, or an unpacked release
# archive (its bin/ folder); the stand-ins and samples from the build folder.
#
# Usage: tools/demo/whole-road-demo.sh <windows-build-dir> <release-dir>
set -u

if [ "$#" -ne 2 ]; then
  echo "usage: $0 <windows-build-dir> <release-dir>" >&2
  exit 2
fi
build=$(cd "$1" && pwd) || exit 2
dist=$(cd "$2" && pwd) || exit 2
[ -f "$dist/AerolumenP3D4.exe" ] || [ ! -d "$dist/bin" ] || dist="$dist/bin"
repo=$(cd "$(dirname "$0")/../.." && pwd)
runner="$repo/cmake/wine-run.sh"
export WB_WINE_ROOT="$build/wine"

launcher="$dist/AerolumenP3D4.exe"
simulator="$build/tools/standin-p3d/prepar3d.exe"
addon="$build/tools/sample-addon/SampleAddon.dll"
client="$build/tools/sample-client/sample-client.exe"
wirebridge="$dist/Wirebridge.dll"
for file in "$launcher" "$simulator" "$addon" "$client" "$wirebridge"; do
  [ -f "$file" ] || { echo "missing $file: build the windows preset first" >&2; exit 2; }
done

# One folder with the programs and the dist folder's Wirebridge.dll: the add-on and the client
# load the library from their own folder.
work=$(mktemp -d "${TMPDIR:-/tmp}/whole-road-demo.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
cp "$launcher" "$addon" "$client" "$wirebridge" "$work/"
cp "$simulator" "$work/prepar3d.exe"
windows() { local path=$1; printf 'Z:%s' "${path//\//\\}"; }
transcript="$work/transcript.txt"
ready="$work/ready.txt"
result="$work/simulator-result.txt"

echo "Whole-road demo: AerolumenP3D4.exe and Wirebridge.dll from $dist"
echo "  simulator: the stand-in prepar3d.exe, started by the launcher, with SampleAddon.dll"
echo "  clients:   sample-client.exe over the named pipe and over TCP IPv4"
echo

"$runner" || { echo "could not prepare the Wine session" >&2; exit 1; }

# The launcher starts prepar3d.exe without arguments; the stand-in takes its part from the
# environment that it inherits through the launcher.
export AEROLUMEN_STANDIN_REPORT="$(windows "$work/startup-record.txt")"
export AEROLUMEN_STANDIN_RESULT="$(windows "$result")"
export AEROLUMEN_STANDIN_SIMULATOR="SampleAddon.dll --quiet --expect-clients 2 --seconds 60 \
--client-wait 60 --transcript $(windows "$transcript") --ready-file $(windows "$ready")"
(cd "$work" && "$runner" "$work/AerolumenP3D4.exe" >"$work/launcher.out" 2>&1;
 echo $? >"$work/launcher.rc")
unset AEROLUMEN_STANDIN_SIMULATOR AEROLUMEN_STANDIN_REPORT AEROLUMEN_STANDIN_RESULT
echo "AerolumenP3D4.exe exited with code $(cat "$work/launcher.rc") after resuming prepar3d.exe."

for _ in $(seq 300); do
  [ -s "$ready" ] && break
  [ -s "$result" ] && break
  sleep 0.1
done
if [ ! -s "$ready" ]; then
  echo "The simulator did not come up within 30 s:"
  cat "$result" "$transcript" 2>/dev/null
  exit 1
fi
vr_found=$(sed -n 's/^forceVrModeValue=//p' "$work/startup-record.txt" 2>/dev/null | tr -d '\r')
echo "When prepar3d.exe began to run, [Loading] ForceVRMode in the settings file was: ${vr_found:-missing}"
echo

(cd "$work" && "$runner" "$work/sample-client.exe" --transport pipe >"$work/pipe.out" 2>&1;
 echo $? >"$work/pipe.rc") &
pids+=($!)
(cd "$work" && "$runner" "$work/sample-client.exe" --transport ipv4 >"$work/ipv4.out" 2>&1;
 echo $? >"$work/ipv4.rc") &
pids+=($!)

# The launcher does not wait for the simulator; it reports through its result file.
for _ in $(seq 1200); do
  [ -s "$result" ] && break
  sleep 0.1
done
simulator_rc=$(head -n 1 "$result" 2>/dev/null | tr -d '\r')
simulator_rc=${simulator_rc:-none}
for _ in $(seq 300); do
  [ -s "$work/pipe.rc" ] && [ -s "$work/ipv4.rc" ] && break
  sleep 0.1
done
pipe_rc=$(cat "$work/pipe.rc" 2>/dev/null || echo "none")
ipv4_rc=$(cat "$work/ipv4.rc" 2>/dev/null || echo "none")

# Lines of one transcript channel ("host", "addon", "net", "summary"), without the time stamp.
channel() { awk -v name="$1" '$2 == name { $1 = ""; sub(/^ +/, ""); print }' "$transcript" | tr -d '\r'; }
# The connection number of the summary line "connection N (<endpoint>, ..., <who>, ...".
connection_of() {
  channel summary | sed -n "s/^summary *connection \([0-9]*\) ($1, client id [0-9]*, $2.*/\1/p" | head -n 1
}
network_lines() { [ -n "$1" ] && channel net | grep -F "[$1 " | sed 's/^net */  server  /'; }
client_lines() { tr -d '\r' <"$1" | sed 's/^\[sample-client [a-z0-9]*\] /  client  /'; }

addon_connection=$(connection_of pipe "the add-on")
pipe_connection=$(connection_of pipe external)
ipv4_connection=$(connection_of ipv4 external)

echo "=== In-process host path: SampleAddon.dll inside the simulator ==="
echo "(before its open reply is dispatched the add-on's client uses the pipe, connection ${addon_connection:-?})"
# In the order things happened: the add-on's own lines, the host path, its pipe connection.
awk -v connection="[${addon_connection:-none} " '
  $2 == "host" || $2 == "addon" || ($2 == "net" && index($0, connection)) {
    $1 = ""; sub(/^ +/, ""); print
  }' "$transcript" | tr -d '\r' |
  sed -e 's/^host */  host    /' -e 's/^addon */  add-on  /' -e 's/^net */  server  /'
echo
echo "=== Named pipe: sample-client.exe --transport pipe (exit code $pipe_rc) ==="
client_lines "$work/pipe.out"
network_lines "$pipe_connection"
echo
echo "=== TCP IPv4: sample-client.exe --transport ipv4 (exit code $ipv4_rc) ==="
client_lines "$work/ipv4.out"
network_lines "$ipv4_connection"
echo
echo "=== Simulator summary (exit code $simulator_rc) ==="
channel summary | sed 's/^summary */  /'
echo

if [ "$simulator_rc" = 0 ] && [ "$pipe_rc" = 0 ] && [ "$ipv4_rc" = 0 ]; then
  echo "Demo PASSED: every request on every path was answered, every host delivery released once."
  exit 0
fi
echo "Demo FAILED (simulator $simulator_rc, pipe client $pipe_rc, IPv4 client $ipv4_rc)."
[ -s "$result" ] && { echo "simulator result:"; cat "$result"; }
exit 1
