# Sourced by the test and run scripts: a private Wine prefix under build/, a
# persistent wineserver for its lifetime (without one, services are killed a
# few seconds after the last client exits) and an X display for dialogs.
# Everything started here is stopped by its own pid in wine_env_stop.

NIMBORA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-$NIMBORA_ROOT/build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
WINESERVER_PID=""
XVFB_PID=""

wine_env_start() {
  if [[ -z "${DISPLAY:-}" ]]; then
    local n
    for n in $(seq 90 120); do
      [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]] && continue
      Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
      XVFB_PID=$!
      export DISPLAY=":$n"
      break
    done
    for _ in $(seq 50); do [[ -e /tmp/.X11-unix/X${DISPLAY#:} ]] && break; sleep 0.1; done
  fi
  if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
    mkdir -p "$WINEPREFIX"
    echo "wine: creating prefix $WINEPREFIX"
    /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
    /usr/lib/wine/wineserver -w
  fi
  /usr/lib/wine/wineserver -f -p >/dev/null 2>&1 &
  WINESERVER_PID=$!
  trap wine_env_stop EXIT
}

wine_env_stop() {
  [[ -n "$WINESERVER_PID" ]] && kill "$WINESERVER_PID" 2>/dev/null && wait "$WINESERVER_PID" 2>/dev/null
  [[ -n "$XVFB_PID" ]] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
  WINESERVER_PID=""
  XVFB_PID=""
}
