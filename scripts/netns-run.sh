#!/usr/bin/env bash
# Run one command inside a pair of throw-away network namespaces.
#
#   scripts/netns-run.sh [--no-wine] [--verbose] -- CMD [ARGS...]
#   scripts/netns-run.sh [--no-wine] --self-check
#
# The engine announces itself and listens on every adapter that is up, so
# nothing that loads it may ever see the machine's real interfaces. This
# script builds a private two-host network for each run:
#
#   kvx-pc-<pid>     lo + pc0     198.18.0.1/24, fe80::6b:76ff:fe78:1
#   kvx-phone-<pid>  lo + phone0  198.18.0.2/24, fe80::6b:76ff:fe78:2
#
# joined by one veth pair, with no default route anywhere. Unless --no-wine
# is given, a wineserver for the Wine prefix is started inside the pc
# namespace (Wine creates every Winsock socket inside the wineserver, so the
# server's namespace is the one the engine's sockets live in).
#
# Before CMD runs, isolation is verified; if it does not hold the script
# refuses with exit code 3. CMD then runs inside the pc namespace and its exit
# code is returned. Namespaces, the wineserver and every process left in the
# namespaces are removed on exit, failure, Ctrl-C and TERM.
#
# Exit codes: CMD's own, or 2 bad usage, 3 isolation refused, 4 set-up failed,
# 128+N when stopped by signal N.

# shellcheck disable=SC2317 # cleanup and on_signal are reached through traps
set -euo pipefail

readonly PROG=netns-run
readonly EXIT_USAGE=2 EXIT_REFUSED=3 EXIT_SETUP=4

readonly PC_IF=pc0 PHONE_IF=phone0
readonly PC_ADDR=198.18.0.1 PHONE_ADDR=198.18.0.2 PREFIX_LEN=24
# Fixed, locally administered MACs give stable link-local addresses.
readonly PC_MAC=02:6b:76:78:00:01 PHONE_MAC=02:6b:76:78:00:02
readonly PC_ADDR6=fe80::6b:76ff:fe78:1 PHONE_ADDR6=fe80::6b:76ff:fe78:2
readonly MCAST_NET=224.0.0.0/4

# Bounds for every step the harness waits on (seconds).
readonly LOCK_WAIT=${KAVEX_NETNS_LOCK_WAIT:-600}
readonly WINEBOOT_TIMEOUT=300
readonly WINE_CHECK_TIMEOUT=60
readonly SERVER_STOP_WAIT=15

log() { printf '%s: %s\n' "$PROG" "$*" >&2; }
die() { local code=$1; shift; log "$*"; exit "$code"; }
# must CMD...: a set-up step; its failure ends the run with EXIT_SETUP.
must() { "$@" || die "$EXIT_SETUP" "set-up step failed: $*"; }

usage() {
  cat >&2 <<'EOF'
usage: scripts/netns-run.sh [--no-wine] [--verbose] -- CMD [ARGS...]
       scripts/netns-run.sh [--no-wine] --self-check

  --no-wine     do not start a wineserver (native test programs)
  --self-check  build the namespaces, run the isolation checks, print what
                each saw and exit (0 = isolated, 3 = refused)
  --verbose     print the isolation checks on every run

Environment: WINEPREFIX (default $KAVEX_CACHE/wine/prefix, KAVEX_CACHE
defaults to /var/cache/kavex-engine), KAVEX_NETNS_LOCK_WAIT (seconds to wait
for another run using the same prefix, default 600).
EOF
}

use_wine=1
self_check=0
verbose=0
cmd=()
while (($#)); do
  case $1 in
    --no-wine) use_wine=0 ;;
    --self-check) self_check=1 ;;
    -v | --verbose) verbose=1 ;;
    -h | --help) usage; exit 0 ;;
    --) shift; cmd=("$@"); break ;;
    *) usage; die "$EXIT_USAGE" "unexpected argument '$1' (CMD goes after --)" ;;
  esac
  shift
done
if ((self_check)); then
  ((${#cmd[@]} == 0)) || die "$EXIT_USAGE" "--self-check takes no command"
  verbose=1
elif ((${#cmd[@]} == 0)); then
  usage
  die "$EXIT_USAGE" "no command given"
fi

# Deliberate leaks, to prove that the checks refuse (never for real runs):
#   1 | server   start the wineserver in the caller's namespace     -> (b)
#   iface        an extra interface in the pc namespace              -> (a)
#   wine-iface   the same, added after (a), so Wine's view must see it -> (c)
leak_demo=${KAVEX_NETNS_SELFTEST_LEAK:-}
case $leak_demo in
  '' | 0) leak_demo= ;;
  1 | server) leak_demo=server ;;
  iface | wine-iface) ;;
  *) die "$EXIT_USAGE" "KAVEX_NETNS_SELFTEST_LEAK must be 1, server, iface or wine-iface" ;;
esac
if [[ $leak_demo == server || $leak_demo == wine-iface ]] && ((!use_wine)); then
  die "$EXIT_USAGE" "KAVEX_NETNS_SELFTEST_LEAK=$leak_demo needs Wine (drop --no-wine)"
fi

[[ $LOCK_WAIT =~ ^[0-9]+$ ]] || die "$EXIT_USAGE" "KAVEX_NETNS_LOCK_WAIT must be a whole number of seconds, not '$LOCK_WAIT'"
[[ $(id -u) -eq 0 ]] || die "$EXIT_SETUP" "must run as root (ip netns needs it)"
for tool in ip sysctl flock timeout realpath; do
  command -v "$tool" >/dev/null || die "$EXIT_SETUP" "required tool '$tool' not found"
done
if ((use_wine)); then
  for tool in wine wineserver wineboot; do
    command -v "$tool" >/dev/null || die "$EXIT_SETUP" "required tool '$tool' not found (install wine and wine32)"
  done
fi

readonly PC_NS=kvx-pc-$$ PHONE_NS=kvx-phone-$$

# --- state used by cleanup -------------------------------------------------
ns_created=()
server_started=0
cmd_pid=
cleaning=0

ns_exists() { [[ -e /run/netns/$1 ]]; }

# A zombie has already exited; only its parent has not reaped it yet.
pid_alive() {
  local state
  state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
  [[ -n $state && $state != Z && $state != X ]]
}

# kill_list SIGNAL "PID PID ...": signal each pid, ignoring ones already gone.
kill_list() {
  local sig=$1 list
  read -r -a list <<<"${2//$'\n'/ }"
  ((${#list[@]})) || return 0
  kill -s "$sig" "${list[@]}" 2>/dev/null || true
}

# Kill every process inside namespace $1 (TERM, then KILL), then delete it.
destroy_ns() {
  local ns=$1 pids i
  ns_exists "$ns" || return 0
  for i in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do
    pids=$(ip netns pids "$ns" 2>/dev/null || true)
    [[ -z $pids ]] && break
    if ((i == 1)); then
      kill_list TERM "$pids"
    elif ((i == 10)); then
      kill_list KILL "$pids"
    fi
    sleep 0.1
  done
  pids=$(ip netns pids "$ns" 2>/dev/null || true)
  kill_list KILL "$pids"
  ip netns delete "$ns" 2>/dev/null || log "warning: could not delete namespace $ns"
}

# Remove namespaces left behind by runs whose script is gone (SIGKILL,
# power loss). A live pid that is not this script is a reused pid.
remove_stale_namespaces() {
  local ns pid
  while read -r ns _; do
    [[ $ns =~ ^kvx-(pc|phone)-([0-9]+)$ ]] || continue
    pid=${BASH_REMATCH[2]}
    # Our own names cannot be in use yet: such a namespace is from an earlier
    # run that had the same pid.
    if [[ $pid != "$$" ]] && pid_alive "$pid" && tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q 'netns-run'; then
      continue
    fi
    log "removing stale namespace $ns (the run that made it, pid $pid, is gone)"
    destroy_ns "$ns"
  done < <(ip netns list 2>/dev/null)
}

# --- Wine prefix bookkeeping -----------------------------------------------
prefix=
server_dir_name=

# A wineserver runs with its cwd in the prefix (for a moment after start) and
# then in .../server-<dev>-<inode> of the prefix directory; either identifies
# it whatever path string it was started with.
compute_server_dir_name() {
  local dev ino
  dev=$(stat -c %D "$prefix") ino=$(stat -c %i "$prefix")
  server_dir_name=$(printf 'server-%x-%x' "$((16#$dev))" "$ino")
}

wineserver_pids() {
  local p exe cwd
  for p in /proc/[0-9]*; do
    exe=$(readlink "$p/exe" 2>/dev/null) || continue
    [[ ${exe##*/} == wineserver* ]] || continue
    cwd=$(readlink "$p/cwd" 2>/dev/null) || continue
    [[ $cwd == "$prefix" || ${cwd##*/} == "$server_dir_name" ]] || continue
    if pid_alive "${p#/proc/}"; then echo "${p#/proc/}"; fi
  done
  return 0
}

# Every live Wine process (loader or server) that belongs to this prefix.
prefix_process_pids() {
  local p pid exe cwd
  for p in /proc/[0-9]*; do
    pid=${p#/proc/}
    exe=$(readlink "$p/exe" 2>/dev/null) || continue
    [[ ${exe##*/} == wine* ]] || continue # wine, wine64, wineserver32, ...
    cwd=$(readlink "$p/cwd" 2>/dev/null || true)
    if [[ $cwd == "$prefix" || ${cwd##*/} == "$server_dir_name" ]] ||
      tr '\0' '\n' <"$p/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$prefix"; then
      if pid_alive "$pid"; then echo "$pid"; fi
    fi
  done
  return 0
}

# Wine tools as the harness runs them: no display (console only; wineboot
# must not wait for an X server), quiet, without install prompts. The lock fd
# is not handed on: a wineserver that outlived us must not keep the lock.
wine_env() {
  env -u DISPLAY -u WAYLAND_DISPLAY WINEPREFIX="$prefix" WINEDEBUG=-all \
    WINEDLLOVERRIDES="$WINEDLLOVERRIDES" "$@" 9>&-
}
# run_quiet WHAT CMD...: run a set-up step with stdio away from our caller
# (Wine daemons it starts keep their fds); on failure show its output and stop.
run_quiet() {
  local what=$1 out rc=0
  shift
  out=$(mktemp)
  "$@" </dev/null >"$out" 2>&1 || rc=$?
  if ((rc != 0)); then
    log "$what failed (exit $rc):"
    tail -n 20 "$out" | tr -d '\r' >&2
    rm -f "$out"
    exit "$EXIT_SETUP"
  fi
  rm -f "$out"
}

wine_in_pc() {
  ip netns exec "$PC_NS" env -u DISPLAY -u WAYLAND_DISPLAY WINEPREFIX="$prefix" \
    WINEDEBUG=-all WINEDLLOVERRIDES="$WINEDLLOVERRIDES" "$@" 9>&-
}

# Stop the prefix's wineserver (and with it all its Wine processes) and wait
# until it has really gone, so the next server starts from a clean state.
stop_wineserver() {
  local pids i
  pids=$(wineserver_pids)
  [[ -z $pids ]] && return 0
  if ns_exists "$PC_NS"; then
    wine_in_pc timeout 10 wineserver -k >/dev/null 2>&1 || true
  else
    wine_env timeout 10 wineserver -k >/dev/null 2>&1 || true
  fi
  for ((i = 0; i < SERVER_STOP_WAIT * 10; i++)); do
    pids=$(wineserver_pids)
    [[ -z $pids ]] && return 0
    sleep 0.1
  done
  log "wineserver ($pids) did not stop within ${SERVER_STOP_WAIT}s, killing it"
  kill_list KILL "$pids"
  sleep 0.2
}

cleanup() {
  local rc=$?
  ((cleaning)) && return
  cleaning=1
  trap '' INT TERM HUP
  set +e
  if [[ -n $cmd_pid ]] && pid_alive "$cmd_pid"; then
    kill -TERM "$cmd_pid" 2>/dev/null
  fi
  if ((server_started)); then
    stop_wineserver
  fi
  local ns
  for ns in "${ns_created[@]}"; do
    destroy_ns "$ns"
  done
  exit "$rc"
}

on_signal() {
  local sig=$1 num=$2
  log "caught SIG$sig, cleaning up"
  if [[ -n $cmd_pid ]]; then kill -s "$sig" "$cmd_pid" 2>/dev/null || true; fi
  exit $((128 + num))
}

trap cleanup EXIT
trap 'on_signal INT 2' INT
trap 'on_signal TERM 15' TERM
trap 'on_signal HUP 1' HUP

# --- network ----------------------------------------------------------------
in_ns() { local ns=$1; shift; ip netns exec "$ns" "$@"; }

# Wait until $2 carries the non-tentative link-local address $3 in ns $1.
wait_link_local() {
  local ns=$1 ifname=$2 addr=$3 i line
  for ((i = 0; i < 50; i++)); do
    line=$(ip -n "$ns" -6 -o addr show dev "$ifname" scope link 2>/dev/null || true)
    if [[ $line == *"$addr/64"* && $line != *tentative* ]]; then
      return 0
    fi
    sleep 0.1
  done
  die "$EXIT_SETUP" "link-local $addr did not appear on $ifname in $ns within 5s"
}

setup_network() {
  local ns
  for ns in "$PC_NS" "$PHONE_NS"; do
    must ip netns add "$ns"
    ns_created+=("$ns")
    # Without DAD the link-local addresses are usable the moment a link is up.
    must in_ns "$ns" sysctl -q -w net.ipv6.conf.all.accept_dad=0 \
      net.ipv6.conf.default.accept_dad=0 net.ipv6.conf.lo.accept_dad=0
  done
  # Created from inside the pc namespace with its peer placed straight into
  # the phone namespace: neither end ever exists in the caller's namespace.
  must ip -n "$PC_NS" link add "$PC_IF" address "$PC_MAC" type veth \
    peer name "$PHONE_IF" address "$PHONE_MAC" netns "$PHONE_NS"
  must in_ns "$PC_NS" sysctl -q -w "net.ipv6.conf.$PC_IF.accept_dad=0"
  must in_ns "$PHONE_NS" sysctl -q -w "net.ipv6.conf.$PHONE_IF.accept_dad=0"

  must ip -n "$PC_NS" addr add "$PC_ADDR/$PREFIX_LEN" dev "$PC_IF"
  must ip -n "$PHONE_NS" addr add "$PHONE_ADDR/$PREFIX_LEN" dev "$PHONE_IF"
  for ns in "$PC_NS" "$PHONE_NS"; do must ip -n "$ns" link set lo up; done
  must ip -n "$PC_NS" link set "$PC_IF" up
  must ip -n "$PHONE_NS" link set "$PHONE_IF" up
  # IPv4 multicast needs a route to pick an interface when a socket joins or
  # sends without naming one; there is deliberately no default route.
  # (IPv6 gets ff00::/8 on every link from the kernel.)
  must ip -n "$PC_NS" route add "$MCAST_NET" dev "$PC_IF"
  must ip -n "$PHONE_NS" route add "$MCAST_NET" dev "$PHONE_IF"

  wait_link_local "$PC_NS" "$PC_IF" "$PC_ADDR6"
  wait_link_local "$PHONE_NS" "$PHONE_IF" "$PHONE_ADDR6"
}

# A second interface inside the pc namespace, standing in for a host adapter
# that became visible. Both ends stay in the namespace; nothing is sent.
add_leak_iface() {
  log "KAVEX_NETNS_SELFTEST_LEAK=$leak_demo: adding interface leak0 (203.0.113.1) to $PC_NS on purpose"
  must ip -n "$PC_NS" link add leak0 type veth peer name leak1
  must ip -n "$PC_NS" addr add 203.0.113.1/32 dev leak0
  must ip -n "$PC_NS" link set leak0 up
  must ip -n "$PC_NS" link set leak1 up
}

# --- isolation checks -------------------------------------------------------
failed_checks=()
report() { # report <check> <ok|FAIL|skipped> <text>
  if [[ $2 == FAIL ]]; then
    failed_checks+=("$1")
    log "check $1: FAIL: $3"
  elif ((verbose)); then
    log "check $1: $2: $3"
  fi
  return 0
}

# Addresses of the namespace the script was started in (normally the host's).
host_addresses() {
  ip -o addr show 2>/dev/null | awk '{split($4, a, "/"); print a[1]}' |
    grep -vxE '127\.0\.0\.1|::1' | sort -u | tr '\n' ' '
}

check_a_links() {
  local links addrs routes4 routes6 bad=''
  links=$(ip -n "$PC_NS" -o link show | awk -F': ' '{sub(/@.*/, "", $2); print $2}' | sort | tr '\n' ' ')
  if [[ $links != "lo $PC_IF " ]]; then
    report "(a) links" FAIL "$PC_NS lists [${links% }], expected only [lo $PC_IF]"
  else
    report "(a) links" ok "$PC_NS lists [${links% }]"
  fi
  addrs=$(ip -n "$PC_NS" -o addr show | awk '{split($4, a, "/"); print a[1]}' | sort | tr '\n' ' ')
  local a
  for a in $addrs; do
    case $a in 127.0.0.1 | ::1 | "$PC_ADDR" | "$PC_ADDR6") ;; *) bad+="$a " ;; esac
  done
  if [[ -n $bad ]]; then
    report "(a) addresses" FAIL "unexpected address(es) in $PC_NS: ${bad% } (all: ${addrs% })"
  else
    report "(a) addresses" ok "$PC_NS has [${addrs% }]"
  fi
  routes4=$(ip -n "$PC_NS" -4 route show default)
  routes6=$(ip -n "$PC_NS" -6 route show default)
  if [[ -n $routes4$routes6 ]]; then
    report "(a) routes" FAIL "$PC_NS has a default route: $routes4 $routes6"
  else
    report "(a) routes" ok "no default route in $PC_NS"
  fi
}

pc_ns_id=
check_b_wineserver() {
  local pids pid n ns_id
  pc_ns_id=$(in_ns "$PC_NS" readlink /proc/self/ns/net)
  pids=$(wineserver_pids)
  n=$(wc -w <<<"$pids")
  if ((n != 1)); then
    report "(b) wineserver" FAIL "expected one wineserver for $prefix, found ${n} (${pids//$'\n'/ })"
    return
  fi
  pid=$pids
  ns_id=$(readlink "/proc/$pid/ns/net" 2>/dev/null || echo gone)
  if [[ $ns_id != "$pc_ns_id" ]]; then
    report "(b) wineserver" FAIL "wineserver pid $pid is in $ns_id, but $PC_NS is $pc_ns_id"
  else
    report "(b) wineserver" ok "wineserver pid $pid is in $ns_id = $PC_NS"
  fi
}

check_c_ipconfig() {
  local out rc=0 adapters addrs a bad='' host tmp
  # Through a file, not a pipe: should ipconfig start a Wine service, that
  # service must not hold our end open.
  tmp=$(mktemp)
  wine_in_pc timeout "$WINE_CHECK_TIMEOUT" wine ipconfig /all </dev/null >"$tmp" 2>&1 || rc=$?
  out=$(tr -d '\r' <"$tmp")
  rm -f "$tmp"
  if ((rc != 0)); then
    report "(c) ipconfig" FAIL "'wine ipconfig /all' failed (exit $rc): $(head -c 400 <<<"$out")"
    return
  fi
  adapters=$(sed -n 's/^[A-Za-z ]*adapter \(.*\)$/\1/p' <<<"$out" | sort | tr '\n' ' ')
  # Every IPv4/IPv6 literal anywhere in the listing, bar the MAC and host name.
  addrs=$(grep -viE 'physical address|host ?name' <<<"$out" |
    grep -oiE '([0-9]{1,3}\.){3}[0-9]{1,3}|[0-9a-f]{0,4}(:[0-9a-f]{0,4}){2,7}(%[0-9]+)?' |
    sed 's/%.*//' | sort -u | tr '\n' ' ')
  for a in $addrs; do
    case $a in 127.0.0.1 | ::1 | "$PC_ADDR" | "$PC_ADDR6") ;; *) bad+="$a " ;; esac
  done
  host=$(host_addresses)
  if [[ -n $bad ]]; then
    report "(c) ipconfig" FAIL "Wine lists address(es) outside $PC_NS: ${bad% } (adapters: ${adapters% })"
  elif [[ " $addrs " != *" $PC_ADDR "* || " $addrs " != *" $PC_ADDR6 "* ]]; then
    report "(c) ipconfig" FAIL "Wine does not list $PC_ADDR and $PC_ADDR6; saw [${addrs% }]"
  elif [[ $adapters != "lo $PC_IF " ]]; then
    report "(c) ipconfig" FAIL "Wine lists adapters [${adapters% }], expected [lo $PC_IF]"
  else
    report "(c) ipconfig" ok "adapters [${adapters% }], addresses [${addrs% }]; host addresses [${host% }] not seen"
  fi
}

check_d_processes() {
  local pids p id bad='' n=0
  pids=$(prefix_process_pids)
  for p in $pids; do
    id=$(readlink "/proc/$p/ns/net" 2>/dev/null) || continue
    n=$((n + 1))
    [[ $id == "$pc_ns_id" ]] || bad+="$p($id) "
  done
  if [[ -n $bad ]]; then
    report "(d) processes" FAIL "Wine process(es) of this prefix outside $PC_NS: ${bad% }"
  elif ((n == 0)); then
    report "(d) processes" FAIL "no Wine process of this prefix found (is the server running?)"
  else
    report "(d) processes" ok "all $n Wine processes of this prefix are in $pc_ns_id"
  fi
}

refuse_if_failed() {
  ((${#failed_checks[@]} == 0)) && return 0
  local skipped
  for skipped in "$@"; do report "$skipped" skipped "not run after an earlier failure"; done
  die "$EXIT_REFUSED" "refusing to run: isolation does not hold (${failed_checks[*]})"
}

# --- main -------------------------------------------------------------------
remove_stale_namespaces

if ((use_wine)); then
  WINEPREFIX=${WINEPREFIX:-${KAVEX_CACHE:-/var/cache/kavex-engine}/wine/prefix}
  mkdir -p "$WINEPREFIX" || die "$EXIT_SETUP" "cannot create Wine prefix directory $WINEPREFIX"
  prefix=$(realpath "$WINEPREFIX")
  # mscoree/mshtml off: no Mono/Gecko install prompts. winemenubuilder off:
  # no desktop menu entries written into $HOME.
  WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  WINEDEBUG=-all
  [[ -O $prefix ]] || die "$EXIT_SETUP" "$prefix is not owned by $(id -un); Wine will not use it"
  compute_server_dir_name
  # One run per prefix at a time: a second run would kill our wineserver.
  exec 9>"$prefix/.kavex-netns.lock" || die "$EXIT_SETUP" "cannot write the lock file in $prefix"
  if ! flock -w "$LOCK_WAIT" 9; then
    die "$EXIT_SETUP" "another run still holds $prefix after ${LOCK_WAIT}s; giving up"
  fi
  # A 64-bit prefix needs the 64-bit loader; Debian's wine32 alone cannot use it.
  if [[ -f $prefix/system.reg ]] && grep -q '^#arch=win64' "$prefix/system.reg" &&
    [[ ! -x /usr/lib/wine/wine64 ]]; then
    die "$EXIT_SETUP" "$prefix is a 64-bit prefix but only the 32-bit Wine loader is installed; remove it or set WINEPREFIX to another directory"
  fi
fi

setup_network
[[ $leak_demo == iface ]] && add_leak_iface
check_a_links
if ((use_wine)); then
  refuse_if_failed "(b) wineserver" "(c) ipconfig" "(d) processes"
else
  refuse_if_failed
fi

if ((use_wine)); then
  stop_wineserver
  if [[ $leak_demo == server ]]; then
    log "KAVEX_NETNS_SELFTEST_LEAK=$leak_demo: starting the wineserver in the caller's namespace on purpose"
    run_quiet "starting wineserver" wine_env wineserver -p
  else
    run_quiet "starting wineserver in $PC_NS" wine_in_pc wineserver -p
  fi
  server_started=1
  # Checked before any Wine program runs against the server.
  check_b_wineserver
  refuse_if_failed "(c) ipconfig" "(d) processes"

  if [[ ! -f $prefix/system.reg ]]; then
    log "initialising new Wine prefix $prefix (once; about 10 s and 600 MB)"
    start=$SECONDS
    # Debian's wine32 alone can only make 32-bit prefixes; say so explicitly.
    run_quiet "initialising $prefix (wineboot -i, limit ${WINEBOOT_TIMEOUT}s)" \
      wine_in_pc WINEARCH=win32 timeout "$WINEBOOT_TIMEOUT" wineboot -i
    log "Wine prefix ready after $((SECONDS - start)) s"
  else
    # The first Wine program of a session starts the long-lived services
    # (services.exe, winedevice.exe, ...), and they keep whatever stdio that
    # program had. Start them here on /dev/null, or a caller reading CMD's
    # output through a pipe would wait for EOF until the server is killed.
    run_quiet "starting the Wine session (wineboot, limit ${WINEBOOT_TIMEOUT}s)" \
      wine_in_pc timeout "$WINEBOOT_TIMEOUT" wineboot
  fi

  # No X server here: Wine's null display driver still gives programs their windows (the engine's
  # hidden notification window, found by its class name), where the X driver would refuse them.
  # Programs that need Direct3D run through scripts/wine-display.sh (Xvfb, a prefix of its own).
  # The session's desktop takes its driver as it starts: once the choice is made (once per prefix),
  # the session starts again.
  if ! grep -q '^"Graphics"="null"' "$prefix/user.reg" 2>/dev/null; then
    run_quiet "choosing Wine's null display driver" \
      wine_in_pc wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f
    stop_wineserver
    run_quiet "starting wineserver in $PC_NS" wine_in_pc wineserver -p
    run_quiet "starting the Wine session (wineboot, limit ${WINEBOOT_TIMEOUT}s)" \
      wine_in_pc timeout "$WINEBOOT_TIMEOUT" wineboot
  fi

  [[ $leak_demo == wine-iface ]] && add_leak_iface
  check_c_ipconfig
  check_d_processes
  refuse_if_failed
fi

if ((self_check)); then
  log "isolation holds"
  exit 0
fi

export KAVEX_NETNS_PC=$PC_NS KAVEX_NETNS_PHONE=$PHONE_NS
export KAVEX_PC_ADDR=$PC_ADDR KAVEX_PHONE_ADDR=$PHONE_ADDR
export KAVEX_PC_ADDR6=$PC_ADDR6 KAVEX_PHONE_ADDR6=$PHONE_ADDR6
export KAVEX_PC_IF=$PC_IF KAVEX_PHONE_IF=$PHONE_IF
if ((use_wine)); then
  export WINEPREFIX=$prefix WINEDEBUG WINEDLLOVERRIDES
fi

# In the background so that TERM reaches the trap at once instead of after
# CMD finishes; stdin is handed on explicitly. The lock fd stays with us.
rc=0
ip netns exec "$PC_NS" "${cmd[@]}" 0<&0 9>&- &
cmd_pid=$!
wait "$cmd_pid" || rc=$?
cmd_pid=
exit "$rc"
