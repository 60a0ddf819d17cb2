#!/usr/bin/env bash
# Runs each case of the discovery end-to-end program in a process of its own (natively, or under
# Wine for a .exe), each with the phone simulators it finds on the phone side of the test network
# (they announce only when told, through their control channels). Must run inside
# scripts/netns-run.sh.
#   run_discovery_e2e.sh PHONE_SIM TEST_PROGRAM
set -uo pipefail

sim=$1
program=$2
if [[ -z ${KAVEX_NETNS_PHONE:-} || -z ${KAVEX_PHONE_ADDR:-} || -z ${KAVEX_PHONE_ADDR6:-} ]]; then
  echo "run_discovery_e2e: run inside scripts/netns-run.sh (the phone side is needed)" >&2
  exit 1
fi
[[ -x $sim ]] || { echo "run_discovery_e2e: no phone simulator at $sim" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  wait 2>/dev/null
  ip link del pc1 2>/dev/null  # left by an interrupted address-change case
  rm -rf "$work"
}
trap cleanup EXIT

export KAVEX_DISCOVERY_SIM_A_ID=646973632d73696d0000000000000001
export KAVEX_DISCOVERY_SIM_B_ID=646973632d73696d0000000000000002
export KAVEX_DISCOVERY_SIM_C_ID=646973632d73696d0000000000000003
export KAVEX_DISCOVERY_SIM_A_CONTROL=$KAVEX_PHONE_ADDR:4700
export KAVEX_DISCOVERY_SIM_A6_CONTROL=$KAVEX_PHONE_ADDR:4701
export KAVEX_DISCOVERY_SIM_B_CONTROL=$KAVEX_PHONE_ADDR:4702
# The address-change case starts a third simulator on a link it creates.
export KAVEX_DISCOVERY_SIM_PROGRAM=$sim
export KAVEX_DISCOVERY_WORK=$work

start_sim() {
  local name=$1; shift
  rm -f "$work/$name.ready"
  ip netns exec "$KAVEX_NETNS_PHONE" "$sim" --quiet --ready-file "$work/$name.ready" "$@" \
    >"$work/$name.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    [[ -s $work/$name.ready ]] && return 0
    sleep 0.1
  done
  echo "run_discovery_e2e: simulator $name did not start:" >&2
  cat "$work/$name.log" >&2
  exit 1
}
stop_sims() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  wait 2>/dev/null
  pids=()
}
announcing=(--announce-if "$KAVEX_PHONE_IF" --announce-interval 0)

# Each case gets the phone it needs, alone on the phone side. One simulator serves one address,
# so a phone reachable over both families is two simulators with the same identity.
start_sims_for() {
  case $1 in
    *OverIpv4AndIpv6*)
      start_sim a --listen "$KAVEX_PHONE_ADDR:4699" --control "$KAVEX_DISCOVERY_SIM_A_CONTROL" \
        "${announcing[@]}" --announce-family both --id "$KAVEX_DISCOVERY_SIM_A_ID" --name "Discovery Phone"
      start_sim a6 --listen "[$KAVEX_PHONE_ADDR6%$KAVEX_PHONE_IF]:4699" \
        --control "$KAVEX_DISCOVERY_SIM_A6_CONTROL" --id "$KAVEX_DISCOVERY_SIM_A_ID" --name "Discovery Phone"
      ;;
    *OnlyOverIpv6*)
      # Announces over IPv6 only and serves its session only at its link-local address.
      start_sim b --listen "[$KAVEX_PHONE_ADDR6%$KAVEX_PHONE_IF]:4699" \
        --control "$KAVEX_DISCOVERY_SIM_B_CONTROL" "${announcing[@]}" --announce-family 6 \
        --id "$KAVEX_DISCOVERY_SIM_B_ID" --name "Link Local Phone"
      ;;
  esac
}

runner=()
[[ $program == *.exe ]] && runner=(wine)

cases=$("${runner[@]}" "$program" --gtest_list_tests | tr -d '\r' | awk '
  /^[^ ]/ { suite = $1 } /^  / { print suite $1 }')
[[ -n $cases ]] || { echo "run_discovery_e2e: the program lists no cases" >&2; exit 1; }

failed=0
for case in $cases; do
  start_sims_for "$case"
  if ! "${runner[@]}" "$program" --gtest_filter="$case"; then
    failed=$((failed + 1))
    echo "run_discovery_e2e: FAILED $case; simulator logs:" >&2
    tail -n 20 "$work"/*.log >&2
  fi
  stop_sims
done
exit $((failed > 0))
