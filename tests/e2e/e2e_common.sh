# Shared by the end-to-end runners (sourced): the phone simulators on the phone side of the test
# network, and running each case of a test program in a process of its own (natively, or under
# Wine for a .exe). Set e2e_name before sourcing; call e2e_setup SIM PROGRAM first.

e2e_fail() { echo "$e2e_name: $*" >&2; exit 1; }

e2e_setup() {
  sim=$1
  program=$2
  if [[ -z ${KAVEX_NETNS_PHONE:-} || -z ${KAVEX_PHONE_ADDR:-} || -z ${KAVEX_PHONE_ADDR6:-} ]]; then
    e2e_fail "run inside scripts/netns-run.sh (the phone side is needed)"
  fi
  [[ -x $sim ]] || e2e_fail "no phone simulator at $sim"
  work=$(mktemp -d)
  pids=()
  runner=()
  [[ $program == *.exe ]] && runner=(wine)
  # The engine's trace of each case, shown with the simulators' logs when the case fails.
  export KAVEX_TRACE=${KAVEX_TRACE:-$work/engine.log}
  trap e2e_cleanup EXIT
}

e2e_stop_sims() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  wait 2>/dev/null
  pids=()
}

e2e_cleanup() {
  e2e_stop_sims
  declare -F e2e_extra_cleanup >/dev/null && e2e_extra_cleanup
  rm -rf "$work"
}

# e2e_start_sim NAME SIM-OPTIONS...: starts a simulator in the phone namespace and waits until it
# has bound its ports.
e2e_start_sim() {
  local name=$1; shift
  rm -f "$work/$name.ready"
  ip netns exec "$KAVEX_NETNS_PHONE" "$sim" --quiet --ready-file "$work/$name.ready" "$@" \
    >"$work/$name.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    [[ -s $work/$name.ready ]] && return 0
    sleep 0.1
  done
  cat "$work/$name.log" >&2
  e2e_fail "simulator $name did not start"
}

# e2e_run_cases [PER-CASE-FUNCTION]: runs every case of the program alone; the function, if given,
# is called with the case name before it (to start that case's simulators), and the simulators it
# started are stopped after it. Exits with the outcome.
e2e_run_cases() {
  local before=${1:-} cases case failed=0
  cases=$("${runner[@]}" "$program" --gtest_list_tests | tr -d '\r' | awk '
    /^[^ ]/ { suite = $1 } /^  / { print suite $1 }')
  [[ -n $cases ]] || e2e_fail "the program lists no cases"
  for case in $cases; do
    [[ -n $before ]] && "$before" "$case"
    [[ $KAVEX_TRACE == "$work/engine.log" ]] && rm -f "$work/engine.log"
    if ! "${runner[@]}" "$program" --gtest_filter="$case"; then
      failed=$((failed + 1))
      echo "$e2e_name: FAILED $case; simulator logs:" >&2
      tail -n 40 "$work"/*.log >&2
    fi
    [[ -n $before ]] && e2e_stop_sims
  done
  exit $((failed > 0))
}

# e2e_serve_hooks DIR: in the background, answers every DIR/NAME.req a test program writes by
# running the runner's function hook_NAME (what only the runner may do, such as changing the test
# network) and writing its exit code to DIR/NAME.done. Its output goes to hooks.log.
e2e_serve_hooks() {
  local dir=$1
  mkdir -p "$dir"
  (
    while :; do
      for request in "$dir"/*.req; do
        [[ -e $request ]] || continue
        name=$(basename "$request" .req)
        rm -f "$request"
        code=127
        if declare -F "hook_$name" >/dev/null; then
          echo "hook $name" >>"$work/hooks.log"
          "hook_$name" >>"$work/hooks.log" 2>&1
          code=$?
        fi
        echo "$code" >"$dir/$name.done.tmp" && mv "$dir/$name.done.tmp" "$dir/$name.done"
      done
      sleep 0.1
    done
  ) &
  pids+=($!)
}
