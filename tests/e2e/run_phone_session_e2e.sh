#!/usr/bin/env bash
# Starts two phone simulators on the phone side of the test network (a plain phone and one with a
# passcode), then runs each case of the end-to-end test program in a process of its own (natively,
# or under Wine for a .exe). Must run inside scripts/netns-run.sh.
#   run_phone_session_e2e.sh PHONE_SIM TEST_PROGRAM
set -uo pipefail

sim=$1
program=$2
if [[ -z ${KAVEX_NETNS_PHONE:-} || -z ${KAVEX_PHONE_ADDR:-} ]]; then
  echo "run_phone_session_e2e: run inside scripts/netns-run.sh (the phone side is needed)" >&2
  exit 1
fi
[[ -x $sim ]] || { echo "run_phone_session_e2e: no phone simulator at $sim" >&2; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

export KAVEX_SIM_A_ID=70686f6e652d73696d00000000000001
export KAVEX_SIM_B_ID=70686f6e652d73696d00000000000002
export KAVEX_SIM_A_CONTROL=$KAVEX_PHONE_ADDR:4700
export KAVEX_SIM_B_CONTROL=$KAVEX_PHONE_ADDR:4702

start_sim() {
  local name=$1; shift
  ip netns exec "$KAVEX_NETNS_PHONE" "$sim" --quiet --ready-file "$work/$name.ready" "$@" \
    >"$work/$name.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    [[ -s $work/$name.ready ]] && return 0
    sleep 0.1
  done
  echo "run_phone_session_e2e: simulator $name did not start:" >&2
  cat "$work/$name.log" >&2
  exit 1
}
start_sim a --listen "$KAVEX_PHONE_ADDR:4699" --control "$KAVEX_SIM_A_CONTROL" \
  --id "$KAVEX_SIM_A_ID" --name "Phone A" --format 1280x720@30 --format 640x480@30
start_sim b --listen "$KAVEX_PHONE_ADDR:4701" --control "$KAVEX_SIM_B_CONTROL" \
  --id "$KAVEX_SIM_B_ID" --name "Locked" --passcode 1234

runner=()
[[ $program == *.exe ]] && runner=(wine)

cases=$("${runner[@]}" "$program" --gtest_list_tests | tr -d '\r' | awk '
  /^[^ ]/ { suite = $1 } /^  / { print suite $1 }')
[[ -n $cases ]] || { echo "run_phone_session_e2e: the program lists no cases" >&2; exit 1; }

failed=0
for case in $cases; do
  if ! "${runner[@]}" "$program" --gtest_filter="$case"; then
    failed=$((failed + 1))
    echo "run_phone_session_e2e: FAILED $case; simulator logs:" >&2
    tail -n 20 "$work"/*.log >&2
  fi
done
exit $((failed > 0))
