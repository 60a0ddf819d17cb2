#!/usr/bin/env bash
# Run one Windows program under Wine with a real X display, for Direct3D 9.
#
#   scripts/wine-display.sh PROGRAM.exe [ARGS...]
#   scripts/wine-display.sh --command COMMAND [ARGS...]
#
# The second form runs a command (a script that starts several Windows programs, such as the demo)
# with WINEPREFIX and DISPLAY set to the display prefix and its X server, so that every `wine` it
# runs shares that prefix's wineserver.
#
# Runs inside scripts/netns-run.sh (it refuses otherwise). The rest of the Wine tier keeps the
# null display driver, which has no Direct3D rendering, and Wine takes the display driver per
# prefix when its session starts. So this runner uses a prefix of its own, $WINEPREFIX-x11 (or
# KAVEX_D3D_WINEPREFIX), made once with the x11 driver and reused; it:
#   1. takes that prefix's lock (runs of the same prefix wait for each other);
#   2. starts Xvfb on a free display number it picks itself (-displayfd), unix socket only;
#   3. starts the prefix's wineserver here, in the pc namespace, and checks that every wineserver
#      of the prefix is in it (Winsock sockets live in the wineserver);
#   4. runs PROGRAM with DISPLAY set, limited to KAVEX_D3D_TIMEOUT seconds (default 300);
#   5. stops the wineserver and Xvfb, also on failure and on INT/TERM.
# PROGRAM's exit code is returned; 3 when not inside the test network, 4 when set-up failed.
# Should this script be killed outright, netns-run.sh still kills what it left in the namespace.
# shellcheck disable=SC2317 # cleanup is reached through traps
set -euo pipefail

readonly EXIT_REFUSED=3 EXIT_SETUP=4
readonly RUN_TIMEOUT=${KAVEX_D3D_TIMEOUT:-300}
readonly WINEBOOT_TIMEOUT=300 LOCK_WAIT=600

log() { printf 'wine-display: %s\n' "$*" >&2; }
die() { local code=$1; shift; log "$*"; exit "$code"; }

plain_command=0
if [[ ${1:-} == --command ]]; then
  plain_command=1
  shift
fi
(($# >= 1)) || die 2 "usage: $0 PROGRAM.exe [ARGS...] | --command COMMAND [ARGS...]"
[[ $RUN_TIMEOUT =~ ^[0-9]+$ ]] || die 2 "KAVEX_D3D_TIMEOUT must be whole seconds, not '$RUN_TIMEOUT'"
for tool in Xvfb wine wineserver wineboot flock timeout ip; do
  command -v "$tool" >/dev/null || die "$EXIT_SETUP" "required tool '$tool' not found (scripts/setup-host.sh installs it)"
done

# The wineserver this starts inherits our network namespace: it must be the harness's pc side.
[[ -n ${KAVEX_NETNS_PC:-} && -n ${WINEPREFIX:-} ]] ||
  die "$EXIT_REFUSED" "run me inside scripts/netns-run.sh (with Wine), not directly"
our_ns=$(readlink /proc/self/ns/net)
[[ $(ip netns exec "$KAVEX_NETNS_PC" readlink /proc/self/ns/net) == "$our_ns" ]] ||
  die "$EXIT_REFUSED" "not inside the test network's namespace $KAVEX_NETNS_PC"

prefix=${KAVEX_D3D_WINEPREFIX:-${WINEPREFIX%/}-x11}
mkdir -p "$prefix" || die "$EXIT_SETUP" "cannot create $prefix"
prefix=$(realpath "$prefix")
[[ $prefix != "$(realpath "$WINEPREFIX")" ]] || die "$EXIT_SETUP" "the display prefix must not be the tier's own prefix"
exec 8>"$prefix/.kavex-d3d.lock" || die "$EXIT_SETUP" "cannot write the lock file in $prefix"
flock -w "$LOCK_WAIT" 8 || die "$EXIT_SETUP" "another run still holds $prefix after ${LOCK_WAIT}s"

work=$(mktemp -d)
xvfb_pid='' display='' server_up=0 program_pid='' cleaning=0

# Our own Wine environment; the lock fd stays with us so no daemon keeps the prefix locked.
wine_x() {
  env -u WAYLAND_DISPLAY WINEPREFIX="$prefix" DISPLAY="$display" WINEDEBUG="${WINEDEBUG:--all}" \
    WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}" "$@" 8>&-
}
# A set-up step, stdio away from our caller: Wine's daemons keep the fds they start with, and
# CTest would wait on its pipe until they go.
quiet() {
  local what=$1
  shift
  if ! "$@" </dev/null >"$work/step.log" 2>&1; then
    log "$what failed:"
    tail -n 20 "$work/step.log" | tr -d '\r' >&2
    exit "$EXIT_SETUP"
  fi
}

server_dir=$(printf 'server-%x-%x' "$((16#$(stat -c %D "$prefix")))" "$(stat -c %i "$prefix")")
wineserver_pids() {
  local p cwd
  for p in /proc/[0-9]*; do
    [[ $(readlink "$p/exe" 2>/dev/null) == */wineserver* ]] || continue
    cwd=$(readlink "$p/cwd" 2>/dev/null) || continue
    [[ $cwd == "$prefix" || ${cwd##*/} == "$server_dir" ]] && echo "${p#/proc/}"
  done
  return 0
}

stop_server() {
  local i
  [[ -z $(wineserver_pids) ]] && return 0
  wine_x timeout 10 wineserver -k >/dev/null 2>&1 || true
  for ((i = 0; i < 100; i++)); do
    [[ -z $(wineserver_pids) ]] && return 0
    sleep 0.1
  done
  log "the wineserver of $prefix did not stop; killing it"
  # shellcheck disable=SC2046 # one pid per word
  kill -KILL $(wineserver_pids) 2>/dev/null || true
}

start_server() {
  quiet "starting wineserver" wine_x wineserver -p
  server_up=1
  local pid bad=''
  for pid in $(wineserver_pids); do
    [[ $(readlink "/proc/$pid/ns/net" 2>/dev/null) == "$our_ns" ]] || bad+="$pid "
  done
  [[ -z $bad ]] || die "$EXIT_REFUSED" "a wineserver of $prefix runs outside $KAVEX_NETNS_PC: $bad"
  [[ -n $(wineserver_pids) ]] || die "$EXIT_SETUP" "the wineserver of $prefix did not start"
}

cleanup() {
  local rc=$?
  ((cleaning)) && return
  cleaning=1
  trap '' INT TERM HUP
  set +e
  [[ -n $program_pid ]] && kill -TERM "$program_pid" 2>/dev/null
  ((server_up)) && stop_server
  if [[ -n $xvfb_pid ]]; then
    kill -TERM "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
  fi
  rm -rf "$work"
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# --- the display ------------------------------------------------------------
# Xvfb picks the first free display number itself and writes it to the fd once it accepts
# connections: no race with other runs. Unix socket only (/tmp/.X11-unix, shared with the
# namespace); no TCP.
: >"$work/display"
Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$work/display" </dev/null >"$work/xvfb.log" 2>&1 8>&- &
xvfb_pid=$!
for ((i = 0; i < 100; i++)); do
  # A whole line only: Xvfb writes the number and a newline once it is ready.
  if read -r number <"$work/display" && [[ $number =~ ^[0-9]+$ ]]; then
    display=:$number
    break
  fi
  kill -0 "$xvfb_pid" 2>/dev/null || break
  sleep 0.1
done
if [[ -z $display ]]; then
  log "Xvfb did not start:"
  tail -n 20 "$work/xvfb.log" >&2
  exit "$EXIT_SETUP"
fi

# --- the prefix and its session ----------------------------------------------
stop_server
start_server
if [[ ! -f $prefix/system.reg ]]; then
  log "initialising the display prefix $prefix (once)"
  start=$SECONDS
  quiet "initialising $prefix" wine_x WINEARCH=win32 timeout "$WINEBOOT_TIMEOUT" wineboot -i
  log "display prefix ready after $((SECONDS - start)) s"
else
  # Started here on /dev/null, so the services do not hold the caller's output open.
  quiet "starting the Wine session" wine_x timeout "$WINEBOOT_TIMEOUT" wineboot
fi
# The session's desktop takes its driver as it starts: after the first choice, start again.
if ! grep -q '^"Graphics"="x11"' "$prefix/user.reg" 2>/dev/null; then
  quiet "choosing Wine's x11 display driver" wine_x wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d x11 /f
  stop_server
  start_server
  quiet "starting the Wine session" wine_x timeout "$WINEBOOT_TIMEOUT" wineboot
fi

# --- the program ---------------------------------------------------------------
# In the background so that TERM reaches our trap at once.
rc=0
if ((plain_command)); then
  wine_x timeout "$RUN_TIMEOUT" "$@" &
else
  wine_x timeout "$RUN_TIMEOUT" wine "$@" &
fi
program_pid=$!
wait "$program_pid" || rc=$?
program_pid=''
((rc == 124)) && log "$1 did not finish within ${RUN_TIMEOUT}s"
exit "$rc"
