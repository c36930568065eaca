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
set -u
: "${WB_WINE_ROOT:?WB_WINE_ROOT names the folder of the Wine session}"
root=$WB_WINE_ROOT
mkdir -p "$root"

export WINEPREFIX="$root/prefix"
export HOME="$root/home"
export WINEDEBUG=-all
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
    touch "$root/prefix-ready"
  elif [ "$display_changed" = 1 ]; then
    # Wine's desktop stays on the display its session began with: restart the session.
    "$wineserver_bin" -k </dev/null >/dev/null 2>&1 9>&-
    "$wineserver_bin" -w 9>&-
  fi
  start_server
}

if [ "${1:-}" = "--stop" ]; then
  # Ends the session: the wineserver with every Wine process of the prefix, then the display.
  [ -d "$WINEPREFIX" ] && "$wineserver_bin" -k </dev/null >/dev/null 2>&1
  if display_alive; then kill "$(cat "$root/xvfb.pid")" 2>/dev/null; fi
  rm -f "$root/xvfb.pid"
  exit 0
fi

exec 9>"$root/lock"
flock 9
prepare_session || exit 1
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
# A listing of tests must never come back empty: CTest would silently run none of them. Seen
# once on a fresh session; a second start has always answered.
case " $* " in
  *" --gtest_list_tests "*)
    if [ "$rc" -eq 0 ] && [ ! -s "$out" ]; then
      sleep 1
      run_program "$@"
    fi
    ;;
esac
cat "$out"
cat "$err" >&2
exit "$rc"
