#!/usr/bin/env bash
# Runs the four-camera scale benchmark (natively, or under Wine for a .exe) against four phone
# simulators on the phone side of the test network. Must run inside scripts/netns-run.sh.
#   run_scale_bench.sh PHONE_SIM SCALE_BENCH FIXTURES_DIR [BENCH OPTIONS...]
#
# The phones are set up by tests/e2e/four_phones.sh (each on an address and link of its own).
set -uo pipefail

e2e_name=run_scale_bench
source "$(dirname "$0")/../tests/e2e/e2e_common.sh"
[[ $# -ge 3 ]] || e2e_fail "usage: run_scale_bench.sh PHONE_SIM SCALE_BENCH FIXTURES_DIR [OPTIONS...]"
e2e_setup "$1" "$2"
fixtures=$3
shift 3

source "$(dirname "$0")/../tests/e2e/four_phones.sh"
four_phones_start "$fixtures"

# The bench reports the CPU time of the phones, which share the machine with the engine, and under
# Wine of this run's wineserver (in the pc namespace), which serves the engine's sockets and named
# objects.
watch=()
for n in 1 2 3 4; do watch+=(--watch "phone$n=${phone_pids[$((n - 1))]}"); done
if [[ ${#runner[@]} -gt 0 ]]; then
  for pid in $(pgrep '^wineserver'); do
    [[ $(ip netns identify "$pid" 2>/dev/null) == "$KAVEX_NETNS_PC" ]] && watch+=(--watch "wineserver=$pid")
  done
fi

"${runner[@]}" "$program" "${phone_args[@]}" "${watch[@]}" "$@"
