#!/usr/bin/env bash
# Checks the private test network that scripts/netns-run.sh builds.
#
#   scripts/netns-selftest.sh [--no-wine]
#
# Always: the discovery multicast groups reach the other side in both
# directions (IPv4 239.255.188.58:4698 and IPv6 [ff02::2:d644]:4698 on the
# link), with the right source address, within a couple of seconds; CMD's exit
# code comes back; no namespace is left behind.
# Unless --no-wine: the isolation self-check passes, every deliberate leak is
# refused with exit code 3 by the check meant to catch it, and a Wine console
# program runs inside.
#
# Prints one line per test and closes with "N passed, N failed"; exits 1 if
# anything failed.
set -euo pipefail

readonly GROUP4=239.255.188.58 GROUP6=ff02::2:d644 PORT=4698
readonly RECV_TIMEOUT=2.5

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
runner=$here/netns-run.sh

# --- inside the namespaces (run through netns-run.sh) -----------------------

# Receiver: join GROUP on IFNAME in this namespace, say "ready", then wait
# for the datagram carrying NONCE and check where it came from.
read -r -d '' RECEIVER <<'PY' || true
import socket, struct, sys, time
family, group, port, ifname, nonce, expect_src, timeout = sys.argv[1:8]
port, timeout = int(port), float(timeout)
ifindex = socket.if_nametoindex(ifname)
if family == "4":
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("", port))
    mreqn = socket.inet_aton(group) + socket.inet_aton("0.0.0.0") + struct.pack("@i", ifindex)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, mreqn)
else:
    s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("::", port))
    mreq = socket.inet_pton(socket.AF_INET6, group) + struct.pack("@I", ifindex)
    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_JOIN_GROUP, mreq)
print("ready", flush=True)
deadline = time.monotonic() + timeout
while True:
    left = deadline - time.monotonic()
    if left <= 0:
        print(f"no datagram for {group} on {ifname} within {timeout}s", file=sys.stderr)
        sys.exit(1)
    s.settimeout(left)
    try:
        data, src = s.recvfrom(2048)
    except socket.timeout:
        continue
    if data != nonce.encode():
        continue  # not ours
    host = src[0].split("%")[0]
    if host != expect_src:
        print(f"datagram came from {host}, expected {expect_src}", file=sys.stderr)
        sys.exit(1)
    sys.exit(0)
PY

# Sender: a few copies of NONCE to GROUP, out of IFNAME / from SRC.
read -r -d '' SENDER <<'PY' || true
import socket, struct, sys, time
family, group, port, ifname, src, nonce = sys.argv[1:7]
port = int(port)
ifindex = socket.if_nametoindex(ifname)
if family == "4":
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(src))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
    dest = (group, port)
else:
    s = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_IF, struct.pack("@I", ifindex))
    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_HOPS, 1)
    dest = (group, port, 0, ifindex)
for _ in range(3):
    s.sendto(nonce.encode(), dest)
    time.sleep(0.1)
PY

# multicast_case FAMILY GROUP FROM_NS FROM_IF FROM_ADDR TO_NS TO_IF
multicast_case() {
  local family=$1 group=$2 from_ns=$3 from_if=$4 from_addr=$5 to_ns=$6 to_if=$7
  local nonce out rx_pid i rc=0
  nonce="kvx-selftest-$RANDOM$RANDOM"
  out=$(mktemp)
  ip netns exec "$to_ns" "$py" -c "$RECEIVER" "$family" "$group" "$PORT" "$to_if" "$nonce" \
    "$from_addr" "$RECV_TIMEOUT" >"$out" 2>&1 &
  rx_pid=$!
  for ((i = 0; i < 50; i++)); do
    grep -q '^ready$' "$out" && break
    kill -0 "$rx_pid" 2>/dev/null || break
    sleep 0.05
  done
  if ! grep -q '^ready$' "$out"; then
    kill "$rx_pid" 2>/dev/null || true
    wait "$rx_pid" 2>/dev/null || true
    echo "receiver did not start: $(tail -n 1 "$out")"
    rm -f "$out"
    return 1
  fi
  if ! ip netns exec "$from_ns" "$py" -c "$SENDER" "$family" "$group" "$PORT" "$from_if" \
    "$from_addr" "$nonce" >"$out.tx" 2>&1; then
    echo "sender failed: $(tail -n 1 "$out.tx")"
    kill "$rx_pid" 2>/dev/null || true
    wait "$rx_pid" 2>/dev/null || true
    rm -f "$out" "$out.tx"
    return 1
  fi
  rm -f "$out.tx"
  wait "$rx_pid" || rc=$?
  if ((rc != 0)); then
    echo "receiver: $(grep -v '^ready$' "$out" | tail -n 1)"
  fi
  rm -f "$out"
  return "$rc"
}

# Runs inside the pc namespace, started by netns-run.sh (see the end of this file).
inside() {
  if [[ -z ${KAVEX_NETNS_PC:-} || -z ${KAVEX_NETNS_PHONE:-} ]]; then
    echo "--inside only runs under scripts/netns-run.sh" >&2
    exit 2
  fi
  py=$(command -v python3) || { echo "python3 not found"; exit 1; }
  local pass=0 fail=0 name msg
  run_case() {
    name=$1
    shift
    if msg=$(multicast_case "$@"); then
      echo "ok - $name"
      pass=$((pass + 1))
    else
      echo "FAIL - $name: $msg"
      fail=$((fail + 1))
    fi
  }
  run_case "IPv4 multicast $GROUP4:$PORT pc -> phone" \
    4 "$GROUP4" "$KAVEX_NETNS_PC" "$KAVEX_PC_IF" "$KAVEX_PC_ADDR" "$KAVEX_NETNS_PHONE" "$KAVEX_PHONE_IF"
  run_case "IPv4 multicast $GROUP4:$PORT phone -> pc" \
    4 "$GROUP4" "$KAVEX_NETNS_PHONE" "$KAVEX_PHONE_IF" "$KAVEX_PHONE_ADDR" "$KAVEX_NETNS_PC" "$KAVEX_PC_IF"
  run_case "IPv6 multicast [$GROUP6]:$PORT pc -> phone" \
    6 "$GROUP6" "$KAVEX_NETNS_PC" "$KAVEX_PC_IF" "$KAVEX_PC_ADDR6" "$KAVEX_NETNS_PHONE" "$KAVEX_PHONE_IF"
  run_case "IPv6 multicast [$GROUP6]:$PORT phone -> pc" \
    6 "$GROUP6" "$KAVEX_NETNS_PHONE" "$KAVEX_PHONE_IF" "$KAVEX_PHONE_ADDR6" "$KAVEX_NETNS_PC" "$KAVEX_PC_IF"
  # Hand the counts back to the outer run.
  echo "counts $pass $fail"
  ((fail == 0))
}

if [[ ${1:-} == --inside ]]; then
  inside
  exit
fi

# --- outside: drive netns-run.sh ---------------------------------------------

use_wine=1
case ${1:-} in
  '') ;;
  --no-wine) use_wine=0 ;;
  *) echo "usage: scripts/netns-selftest.sh [--no-wine]" >&2; exit 2 ;;
esac

passed=0
failed=0
ok() { echo "ok - $1"; passed=$((passed + 1)); }
not_ok() { echo "FAIL - $1"; failed=$((failed + 1)); }

# harness OUTFILE [ENV=VALUE...] -- ARGS...: run netns-run.sh in the
# background (so its pid, which names its namespaces, is known), wait, and
# fail the test run if it left a namespace behind. Sets h_rc.
h_rc=0
harness() {
  local outfile=$1 pid
  shift
  local envs=()
  while [[ $1 != -- ]]; do envs+=("$1"); shift; done
  shift
  env "${envs[@]}" "$runner" "$@" >"$outfile" 2>&1 </dev/null &
  pid=$!
  h_rc=0
  wait "$pid" || h_rc=$?
  if [[ -e /run/netns/kvx-pc-$pid || -e /run/netns/kvx-phone-$pid ]]; then
    not_ok "run $pid ($*) removed its namespaces"
  fi
}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Multicast between the two sides, from inside the namespaces.
harness "$tmp/mc" -- --no-wine -- "${BASH_SOURCE[0]}" --inside
grep -E '^(ok|FAIL) - ' "$tmp/mc" || true
if read -r _ p f < <(grep '^counts ' "$tmp/mc"); then
  passed=$((passed + p))
  failed=$((failed + f))
else
  not_ok "multicast checks ran (netns-run exit $h_rc): $(tail -n 5 "$tmp/mc" | tr '\n' ' ')"
fi

harness "$tmp/rc" -- --no-wine -- sh -c 'exit 7'
if ((h_rc == 7)); then ok "CMD's exit code is passed on"; else not_ok "CMD's exit code is passed on (got $h_rc, want 7)"; fi

# What CMD itself sees: exactly lo and the pc veth, and no default route.
# shellcheck disable=SC2016 # expanded by the shell inside the namespace
harness "$tmp/view" -- --no-wine -- sh -c \
  'echo "links: $(ip -o link show | cut -d: -f2 | cut -d@ -f1 | tr -d " " | sort | tr "\n" " ")"
   echo "default: $(ip route show default)$(ip -6 route show default)"'
if grep -qx 'links: lo pc0 ' "$tmp/view" && grep -qx 'default: ' "$tmp/view"; then
  ok "CMD sees only lo and pc0, and no default route"
else
  not_ok "CMD sees only lo and pc0, and no default route: $(tr '\n' ' ' <"$tmp/view")"
fi

harness "$tmp/leak-iface" KAVEX_NETNS_SELFTEST_LEAK=iface -- --no-wine -- true
if ((h_rc == 3)) && grep -q 'check (a) links: FAIL' "$tmp/leak-iface"; then
  ok "extra interface in the pc namespace is refused by check (a)"
else
  not_ok "extra interface in the pc namespace is refused by check (a) (exit $h_rc): $(tr '\n' ' ' <"$tmp/leak-iface")"
fi

if ((use_wine)); then
  harness "$tmp/self" -- --self-check
  if ((h_rc == 0)) && grep -q 'isolation holds' "$tmp/self"; then
    ok "isolation self-check passes"
  else
    not_ok "isolation self-check passes (exit $h_rc): $(tr '\n' ' ' <"$tmp/self")"
  fi

  for leak in server:'check (b) wineserver: FAIL' wine-iface:'check (c) ipconfig: FAIL'; do
    mode=${leak%%:*} want=${leak#*:}
    harness "$tmp/leak-$mode" KAVEX_NETNS_SELFTEST_LEAK="$mode" -- --self-check
    if ((h_rc == 3)) && grep -qF "$want" "$tmp/leak-$mode"; then
      ok "leak '$mode' is refused (${want%%:*})"
    else
      not_ok "leak '$mode' is refused (${want%%:*}) (exit $h_rc): $(tr '\n' ' ' <"$tmp/leak-$mode")"
    fi
  done

  harness "$tmp/wine" -- -- wine cmd /c echo kvx-wine-ok
  if ((h_rc == 0)) && grep -q 'kvx-wine-ok' "$tmp/wine"; then
    ok "a Wine console program runs inside"
  else
    not_ok "a Wine console program runs inside (exit $h_rc): $(tail -n 5 "$tmp/wine" | tr '\n' ' ')"
  fi
fi

echo "$passed passed, $failed failed"
((failed == 0))
