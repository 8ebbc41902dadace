# Sourced by the test and run scripts: a private Wine prefix under build/, a
# persistent wineserver for its lifetime (without one, services are killed a
# few seconds after the last client exits) and an X display for dialogs.
# Everything started here is stopped by its own pid in wine_env_stop.

NIMBORA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-$NIMBORA_ROOT/build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
# 32-bit Wine runs under qemu-user, which truncates the kernel's memory totals
# to 32 bits; tools/setup.sh builds the correction that every 32-bit process
# preloads (the literal $LIB picks the 32-bit library, or its empty 64-bit twin
# in the 64-bit programs that 32-bit ones start). It must be set before the
# prefix's first process, which every later one inherits it from.
export QEMU_SET_ENV="LD_PRELOAD=$NIMBORA_ROOT/build/sysinfo-fix/\$LIB/libnimbora-sysinfo.so"
WINESERVER_PID=""
XVFB_PID=""

wine_env_start() {
  if [[ -z "${DISPLAY:-}" ]]; then
    local n
    # N.B. two environments started together search from different numbers.
    for n in $(seq "${NIMBORA_DISPLAY_FIRST:-90}" 120); do
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
  # The first process of the session starts services.exe, whose standard
  # error every service inherits: with the eventlog channel on, each event-log
  # entry a service writes lands in this file, where end-to-end tests read it.
  export NIMBORA_SERVICES_LOG="$(dirname "$WINEPREFIX")/$(basename "$WINEPREFIX")-services.log"
  : >"$NIMBORA_SERVICES_LOG"
  export NIMBORA_SERVICES_LOG_WIN="Z:${NIMBORA_SERVICES_LOG//\//\\}"
  WINEDEBUG=-all,+eventlog /usr/lib/wine/wine64 cmd /c exit 2>>"$NIMBORA_SERVICES_LOG" >/dev/null
  trap wine_env_stop EXIT
}

wine_env_stop() {
  if [[ -n "$WINESERVER_PID" ]]; then
    # N.B. the prefix's own processes (services.exe and the services it runs)
    # outlive a killed server, so they are ended first, then the server itself.
    /usr/lib/wine/wineserver -k 2>/dev/null || true
    kill "$WINESERVER_PID" 2>/dev/null || true
    wait "$WINESERVER_PID" 2>/dev/null || true
  fi
  if [[ -n "$XVFB_PID" ]]; then
    kill "$XVFB_PID" 2>/dev/null || true
    wait "$XVFB_PID" 2>/dev/null || true
  fi
  WINESERVER_PID=""
  XVFB_PID=""
}
