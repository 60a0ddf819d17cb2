#!/usr/bin/env bash
# Runs the four-camera scale benchmark (natively, or under Wine for a .exe) against four phone
# simulators on the phone side of the test network. Must run inside scripts/netns-run.sh.
#   run_scale_bench.sh PHONE_SIM SCALE_BENCH FIXTURES_DIR [BENCH OPTIONS...]
#
# The engine reaches a phone it heard announcing at the announcement's source address, on the
# session port 4699, so each phone needs an address of its own: phone 1 uses the harness's link
# (pc0/phone0), phones 2-4 each get a link of their own (pcN/phoneN, 198.18.N.0/24), made here
# before the engine starts so that it finds them in its first adapter list. The namespaces, and
# with them these links, go when the harness ends; they are also removed on exit.
set -uo pipefail

e2e_name=run_scale_bench
source "$(dirname "$0")/../tests/e2e/e2e_common.sh"
[[ $# -ge 3 ]] || e2e_fail "usage: run_scale_bench.sh PHONE_SIM SCALE_BENCH FIXTURES_DIR [OPTIONS...]"
e2e_setup "$1" "$2"
fixtures=$3
shift 3

links=()
e2e_extra_cleanup() {
  for link in "${links[@]}"; do ip link del "$link" 2>/dev/null; done
}

add_link() {
  local n=$1
  ip link add "pc$n" type veth peer name "phone$n" netns "$KAVEX_NETNS_PHONE" || return 1
  links+=("pc$n")
  ip netns exec "$KAVEX_NETNS_PHONE" ip addr add "198.18.$n.2/24" dev "phone$n" &&
    ip netns exec "$KAVEX_NETNS_PHONE" ip link set "phone$n" up &&
    ip addr add "198.18.$n.1/24" dev "pc$n" &&
    ip link set "pc$n" up
}

phone_args=()
for n in 1 2 3 4; do
  if [[ $n == 1 ]]; then
    ifname=$KAVEX_PHONE_IF
    addr=$KAVEX_PHONE_ADDR
  else
    add_link $((n - 1)) || e2e_fail "cannot make the link for phone $n"
    ifname=phone$((n - 1))
    addr=198.18.$((n - 1)).2
  fi
  # Keys 1-4: the first four identifier bytes are the phone's number (little-endian).
  e2e_start_sim "phone$n" --listen "$addr:4699" --control "$addr:4700" \
    --announce-if "$ifname" --announce-family 4 --announce-interval 500 \
    --id "0${n}000000$(printf 'scale-phone' | od -An -tx1 | tr -d ' \n')00" --name "Scale Phone $n" \
    --formats 640x480@30,1280x720@30,1920x1080@30 \
    --h264-fixture "$fixtures/h264-1280x720.psimpkt" --opus-fixture "$fixtures/opus-tone-48k.psimpkt"
  phone_args+=(--phone "$n=$addr:4700")
done

# The bench reports the CPU time of the phones, which share the machine with the engine, and under
# Wine of this run's wineserver (in the pc namespace), which serves the engine's sockets and named
# objects.
watch=()
for n in 1 2 3 4; do watch+=(--watch "phone$n=${pids[$((n - 1))]}"); done
if [[ ${#runner[@]} -gt 0 ]]; then
  for pid in $(pgrep '^wineserver'); do
    [[ $(ip netns identify "$pid" 2>/dev/null) == "$KAVEX_NETNS_PC" ]] && watch+=(--watch "wineserver=$pid")
  done
fi

"${runner[@]}" "$program" "${phone_args[@]}" "${watch[@]}" "$@"
