#!/usr/bin/env bash
# Runs one Windows program under Wine for CTest (the cross build's emulator) and for scripts.
#
# Every build folder owns one Wine session in WB_WINE_ROOT: a private prefix, a HOME of its own
# (Wine links the prefix's Documents and similar folders to HOME), a virtual X display, and one
# wineserver kept warm for the whole run. The first caller creates the session under a lock;
# everyone else waits for it and then starts in ~50 ms.
#
# Output discipline: Wine's background processes inherit the descriptors of whatever started
# them and outlive it. They must never hold CTest's pipes (CTest would wait for EOF), so the
# program's output goes through files that are copied out when it ends, and the lock file is
# closed for everything Wine starts.
#
# Heap checking: with WB_HEAP_CHECK=1 the program runs in a second session of its own (folder
# "heap-check" inside WB_WINE_ROOT) whose registry gives the program's image the global flags of
# heap tail checking, free checking and validation. Wine then reports a write past a block or
# into a freed block as an "err:heap" line (the heap call that found it fails, the program goes
# on); any such line fails the run, whatever the program's own exit code. Wine 8.0 fills a freed
# block outside the heap's lock while other threads may validate the heap under it, so programs
# that free on several threads at once can get false reports: tools/test.sh leaves its
# multi-threaded stress cases out of this pass, and a test run with a report is repeated (below).
set -u
: "${WB_WINE_ROOT:?WB_WINE_ROOT names the folder of the Wine session}"
heap_check=${WB_HEAP_CHECK:-0}
root=$WB_WINE_ROOT
[ "$heap_check" = 1 ] && root=$WB_WINE_ROOT/heap-check
mkdir -p "$root"

export WINEPREFIX="$root/prefix"
export HOME="$root/home"
export WINEDEBUG=-all
[ "$heap_check" = 1 ] && export WINEDEBUG=-all,err+heap
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export XDG_RUNTIME_DIR="$root/xdg"
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

wine_bin=/usr/lib/wine/wine64
[ -x "$wine_bin" ] || wine_bin=$(command -v wine64 || command -v wine)
wineserver_bin=/usr/lib/wine/wineserver64
[ -x "$wineserver_bin" ] || wineserver_bin=/usr/lib/wine/wineserver
[ -x "$wineserver_bin" ] || wineserver_bin=$(command -v wineserver)

display_alive() {
  [ -s "$root/xvfb.pid" ] && kill -0 "$(cat "$root/xvfb.pid")" 2>/dev/null
}

start_display() {
  rm -f "$root/display"
  # -displayfd picks a free display number and writes it to descriptor 3 once ready.
  setsid Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 \
    3>"$root/display" </dev/null >/dev/null 2>&1 9>&- &
  echo $! >"$root/xvfb.pid"
  for _ in $(seq 100); do
    [ -s "$root/display" ] && break
    sleep 0.05
  done
  [ -s "$root/display" ] || { echo "wine-run: Xvfb did not start" >&2; return 1; }
}

start_server() {
  # Persistent for 10 minutes of idleness: one server for the whole run, gone by itself later.
  "$wineserver_bin" -p600 </dev/null >/dev/null 2>&1 9>&-
  true
}

# The version of the prefix's settings (below), written into the prefix-ready marker: a prefix
# made before they changed gets them at its next use, without being made anew.
prefix_settings=2

# Settings that every use of the prefix relies on, applied through the running wineserver.
# A program that faults must end at once, with its output and Wine's line naming the fault and
# its address ("Unhandled page fault on write access to ... at address ..."): with the crash
# debugger on, it would wait in it until CTest's time-out and show nothing else. An empty
# Debugger with Auto set ends the faulting process without a debugger or a question.
settle_prefix() {
  local aedebug='HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug'
  "$wine_bin" reg add "$aedebug" /v Debugger /t REG_SZ /d '' /f \
    </dev/null >>"$root/wineboot.log" 2>&1 9>&- &&
    "$wine_bin" reg add "$aedebug" /v Auto /t REG_SZ /d 1 /f \
      </dev/null >>"$root/wineboot.log" 2>&1 9>&-
}

prepare_session() {
  local display_changed=0
  if ! display_alive; then
    start_display || return 1
    display_changed=1
  fi
  export DISPLAY=":$(cat "$root/display")"
  if [ ! -f "$root/prefix-ready" ]; then
    rm -rf "$WINEPREFIX"
    "$wine_bin" wineboot -i </dev/null >"$root/wineboot.log" 2>&1 9>&-
    "$wineserver_bin" -w 9>&-
    # Without a window manager Wine waits ~2 s per closed window unless windows are unmanaged.
    "$wine_bin" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f \
      </dev/null >>"$root/wineboot.log" 2>&1 9>&-
    "$wineserver_bin" -w 9>&-
    : >"$root/prefix-ready"
  elif [ "$display_changed" = 1 ]; then
    # Wine's desktop stays on the display its session began with: restart the session.
    "$wineserver_bin" -k </dev/null >/dev/null 2>&1 9>&-
    "$wineserver_bin" -w 9>&-
  fi
  start_server
  if [ "$(cat "$root/prefix-ready")" != "$prefix_settings" ]; then
    if ! settle_prefix; then
      echo "wine-run: prefix settings not applied (see $root/wineboot.log)" >&2
      return 1
    fi
    echo "$prefix_settings" >"$root/prefix-ready"
  fi
}

# GlobalFlag 0xF0: heap tail checking, free checking, parameter checking, validate all.
heap_flags_for() {
  local image=$1
  local marker="$root/heap-flags/$image"
  [ -f "$marker" ] && return 0
  mkdir -p "$root/heap-flags"
  "$wine_bin" reg add \
    "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Image File Execution Options\\$image" \
    /v GlobalFlag /t REG_DWORD /d 240 /f </dev/null >>"$root/wineboot.log" 2>&1 9>&- &&
    touch "$marker"
}

stop_session() {
  # Ends one session: the wineserver with every Wine process of the prefix, then the display.
  local session=$1
  [ -d "$session/prefix" ] && WINEPREFIX="$session/prefix" "$wineserver_bin" -k \
    </dev/null >/dev/null 2>&1
  if [ -s "$session/xvfb.pid" ]; then kill "$(cat "$session/xvfb.pid")" 2>/dev/null; fi
  rm -f "$session/xvfb.pid"
}

if [ "${1:-}" = "--stop" ]; then
  stop_session "$root"
  [ "$heap_check" = 1 ] || stop_session "$root/heap-check"
  exit 0
fi

exec 9>"$root/lock"
flock 9
prepare_session || exit 1
if [ "$heap_check" = 1 ] && [ "$#" -gt 0 ]; then
  heap_flags_for "$(basename "$1")" || { echo "wine-run: heap flags not set" >&2; exit 1; }
fi
flock -u 9
exec 9>&-

if [ "$#" -eq 0 ]; then
  exit 0 # "wine-run.sh" alone only prepares the session; "--stop" ends it
fi

out=$(mktemp "$root/out.XXXXXX")
err=$(mktemp "$root/err.XXXXXX")
trap 'rm -f "$out" "$err"' EXIT
# Forward a kill from CTest's timeout to the Windows program.
trap 'kill -TERM "$child" 2>/dev/null' TERM INT
run_program() {
  "$wine_bin" "$@" </dev/null >"$out" 2>"$err" &
  child=$!
  wait "$child"
  rc=$?
}
run_program "$@"

heap_report() { [ "$heap_check" = 1 ] && grep -q 'err:heap' "$err"; }

# Two outcomes of a GoogleTest run say nothing about the test, and neither came back when the
# same case ran again, so such a run is repeated once:
# - Nothing on standard output. GoogleTest prints (and flushes) its first line before it runs any
#   test, and a listing is never empty, so the run ended before the program's own code got that
#   far. Seen rarely, with nothing on error output either: a listing with exit code 0, and a test
#   run that failed after 0.14 s. Left alone, the one makes CTest run none of the program's
#   tests, the other fails a test that never ran (and an exit code 0 would pass it).
# - A heap report under heap checking, which Wine's race (above) can give any program that frees
#   on several threads at once. Damage that the program does in every run is reported again.
# The first run is noted with its reason in "repeated-runs.log" of the session (or
# WB_REPEATED_RUNS_LOG), which tools/test.sh lists; the second run's outcome stands, and it fails
# if it ends the same way.
first_run=""
case " $* " in
  *" --gtest_"*)
    if [ ! -s "$out" ]; then
      first_run="exit code $rc, no output"
      first_err=$(head -c 300 "$err" | tr '\n' ' ')
      [ -n "$first_err" ] && first_run+="; error output: $first_err"
    elif heap_report; then
      first_run="exit code $rc, heap report: $(grep -m 1 'err:heap' "$err")"
    fi
    ;;
esac
if [ -n "$first_run" ]; then
  first_rc=$rc
  echo "$(date +%T) $(basename "$1") ${*:2}: $first_run" \
    >>"${WB_REPEATED_RUNS_LOG:-$WB_WINE_ROOT/repeated-runs.log}"
  sleep 1
  run_program "$@"
  if [ ! -s "$out" ]; then
    echo "wine-run: $(basename "$1") ended twice before its first line" \
      "(exit codes $first_rc and $rc)" >&2
    [ "$rc" -eq 0 ] && rc=1
  fi
fi
cat "$out"
cat "$err" >&2
if heap_report; then
  echo "wine-run: heap errors reported by $(basename "$1"): $(grep -c 'err:heap' "$err") lines," \
    "first: $(grep -m 1 'err:heap' "$err")" >&2
  [ "$rc" -eq 0 ] && rc=1
fi
exit "$rc"
