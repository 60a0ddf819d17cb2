#!/usr/bin/env bash
# Runs the fault matrix (natively, or under Wine for a .exe) in one process against a phone
# simulator on the phone side that announces itself and streams the H.264 fixture, and does for
# the program what only the runner can: take the phone's link down and up, add and remove an
# address of the host's adapter. Must run inside scripts/netns-run.sh.
#   run_fault_matrix_e2e.sh PHONE_SIM TEST_PROGRAM FIXTURES_DIR
set -uo pipefail

e2e_name=run_fault_matrix_e2e
source "$(dirname "$0")/e2e_common.sh"
e2e_setup "$1" "$2"
fixtures=$3

export KAVEX_FAULT_SIM_CONTROL=$KAVEX_PHONE_ADDR:4700
readonly extra_addr=198.18.0.11/24

hook_link_down() { ip netns exec "$KAVEX_NETNS_PHONE" ip link set "$KAVEX_PHONE_IF" down; }
hook_link_up() { ip netns exec "$KAVEX_NETNS_PHONE" ip link set "$KAVEX_PHONE_IF" up; }
hook_address_add() { ip addr add "$extra_addr" dev "$KAVEX_PC_IF"; }
hook_address_del() { ip addr del "$extra_addr" dev "$KAVEX_PC_IF"; }
e2e_extra_cleanup() {
  hook_link_up 2>/dev/null
  ip addr del "$extra_addr" dev "$KAVEX_PC_IF" 2>/dev/null
  true
}

e2e_start_sim fault --listen "$KAVEX_PHONE_ADDR:4699" --control "$KAVEX_FAULT_SIM_CONTROL" \
  --announce-if "$KAVEX_PHONE_IF" --announce-interval 500 --name "Fault Phone" \
  --formats 640x480@30,1280x720@30 \
  --h264-fixture "$fixtures/h264-1280x720.psimpkt" --opus-fixture "$fixtures/opus-tone-48k.psimpkt"
e2e_serve_hooks "$work/hooks"
export KAVEX_FAULT_HOOKS=$work/hooks
[[ $program == *.exe ]] && KAVEX_FAULT_HOOKS=Z:$work/hooks

[[ $KAVEX_TRACE == "$work/engine.log" ]] && rm -f "$work/engine.log"
if ! "${runner[@]}" "$program" "${@:4}"; then
  echo "$e2e_name: FAILED; simulator and hook logs:" >&2
  tail -n 60 "$work"/*.log >&2
  exit 1
fi
