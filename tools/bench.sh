#!/usr/bin/env bash
# Builds and runs every benchmark from a fresh or a used machine (as root on Debian 12), then
# prints one table of every ratio with its target and verdict.
#   1. packages: tools/setup-machine.sh, plus libbenchmark-dev (Google Benchmark) when missing;
#   2. build/bench-win: the Windows deliverables and benchmark programs (mingw, Release-like
#      RelWithDebInfo as shipped), run under Wine in the folder's own session;
#   3. build/bench-native: the Google Benchmark program for the portable code (Release);
#   4. the runs: channel (pipe and TCP), settings store, launcher, native;
#   5. the table; raw output and the table as Markdown go to build/bench-results/.
# Exits non-zero when a build or a program fails or a soundness check (no message lost, every
# call accepted) breaks. Missed performance targets are reported as MISS, not as failures.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

bash tools/setup-machine.sh || { echo "bench: setup failed"; exit 1; }
if ! dpkg-query -W -f='${Status}' libbenchmark-dev 2>/dev/null | grep -q "install ok installed"; then
  echo "bench: installing libbenchmark-dev"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null
  apt-get install -y -q --no-install-recommends libbenchmark-dev >/dev/null ||
    { echo "bench: libbenchmark-dev could not be installed"; exit 1; }
fi

win=build/bench-win
native=build/bench-native
out=build/bench-results
mkdir -p "$out"
results="$out/results.tsv"
: >"$results"
jobs=2

echo "== build: $win"
cmake --preset windows -B "$win" -DWB_DIST_DIR="$root/$win/dist" -DWB_BENCH=ON -DWB_CHECKED=OFF \
  -DBUILD_TESTING=OFF >"$out/configure-win.log" 2>&1 &&
  cmake --build "$win" -j "$jobs" --target channel_bench settings_bench launcher_bench \
    >"$out/build-win.log" 2>&1 ||
  { tail -n 30 "$out/configure-win.log" "$out/build-win.log"; echo "bench: Windows build failed"; exit 1; }

echo "== build: $native"
cmake -S . -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=g++ \
  -DWB_PORTABLE_ONLY=ON -DWB_BENCH=ON -DWB_CHECKED=OFF -DBUILD_TESTING=OFF >"$out/configure-native.log" 2>&1 &&
  cmake --build "$native" -j "$jobs" --target native_bench >"$out/build-native.log" 2>&1 ||
  { tail -n 30 "$out/configure-native.log" "$out/build-native.log"; echo "bench: native build failed"; exit 1; }

export WB_WINE_ROOT="$root/$win/wine"
wine_run="$root/cmake/wine-run.sh"
"$wine_run" || { echo "bench: the Wine session did not start"; exit 1; }

failed=()
# Runs one benchmark program, keeps its output and collects its RESULT lines.
run() {
  local label=$1
  shift
  echo "== run: $label"
  local log="$out/$label.log"
  "$@" >"$log" 2>&1
  local rc=$?
  [ "${QUIET:-0}" = 1 ] || grep -v '^RESULT' "$log" | sed 's/^/  /'
  grep '^RESULT' "$log" >>"$results"
  if [ "$rc" -ne 0 ]; then
    failed+=("$label")
    tail -n 20 "$log"
  fi
}

# Windows paths for the launcher benchmark: Wine maps the Unix root to Z:.
winpath() { local p; p=$(realpath "$1"); echo "Z:${p//\//\\}"; }

# Each program ends by itself within a few minutes; the time-outs only catch a hang.
run channel bash -c "cd '$win/bench' && timeout 900 '$wine_run' channel_bench.exe"
run settings bash -c "cd '$win/bench' && timeout 300 '$wine_run' settings_bench.exe"
run launcher bash -c "cd '$win/bench' && timeout 300 '$wine_run' launcher_bench.exe \
  '$(winpath "$win/dist/AerolumenP3D4.exe")' \
  '$(winpath "$win/tools/standin-p3d/prepar3d.exe")' \
  '$(winpath "$win/bench/bare_launcher.exe")' \
  '$(winpath "$win/bench/bare_launcher_gui.exe")'"
"$wine_run" --stop

QUIET=1 run native "$native/bench/native_bench" --benchmark_min_time=0.2 --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true --benchmark_enable_random_interleaving=true \
  --benchmark_out="$out/native.json" --benchmark_out_format=json
python3 bench/tabulate.py native "$out/native.json" >>"$results" || failed+=("native ratios")

machine="$(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), \
$(/usr/lib/wine/wine64 --version 2>/dev/null || wine --version), $(date -u '+%Y-%m-%d %H:%M UTC'), \
load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "== machine: $machine"
python3 bench/tabulate.py table "$results" "$out/table.md" || failed+=("soundness checks")
{ echo "Machine: $machine"; echo; cat "$out/table.md"; } >"$out/table.md.new" && mv "$out/table.md.new" "$out/table.md"
echo "(raw output and table.md in $out/)"

if [ "${#failed[@]}" -gt 0 ]; then
  echo "bench: failing steps: ${failed[*]}"
  exit 1
fi
