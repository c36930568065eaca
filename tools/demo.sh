#!/usr/bin/env bash
# The main job: builds the deliverables into dist/ and runs the whole system under Wine.
#   1. the launcher on its own: the stand-in prepar3d.exe records that it was started suspended
#      and found ForceVRMode = 1 on disk when it began to run;
#   2. the whole road: the launcher starts the stand-in simulator, which serves SimConnect, loads
#      a sample add-on that uses Wirebridge.dll in-process, while a sample client in another
#      process uses the pipe and TCP; every request and dispatched reply is printed.
set -u
cd "$(dirname "$0")/.."
bash tools/setup-machine.sh || { echo "setup failed"; exit 1; }

build=build/demo
echo "== building the deliverables and the stand-ins (Windows x64, mingw-w64)"
cmake --preset windows -B "$build" -DBUILD_TESTING=OFF >/dev/null || exit 1
cmake --build "$build" -j "$(nproc)" >/dev/null || { cmake --build "$build" -j 1; exit 1; }
echo "   dist/: $(cd dist && ls | tr '\n' ' ')"
echo

status=0
echo "== 1. The launcher"
bash tools/demo/launcher-demo.sh "$build" dist || status=1
echo
echo "== 2. The whole road"
bash tools/demo/whole-road-demo.sh "$build" dist || status=1

WB_WINE_ROOT="$PWD/$build/wine" cmake/wine-run.sh --stop
exit "$status"
