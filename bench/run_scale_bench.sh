#!/usr/bin/env bash
# Runs one scale benchmark (natively, or under Wine for a .exe): four cameras fed by four phone
# simulators on the phone side of the test network, or with --idle N the cameras' idle cost, no
# phone. Must run inside scripts/netns-run.sh.
#   run_scale_bench.sh PHONE_SIM SCALE_BENCH FIXTURES_DIR [--phone-stream FILE] [BENCH OPTIONS...]
#
# The phones are set up by tests/e2e/four_phones.sh (each on an address and link of its own) and
# stream FILE (a packet file; default the committed 1280x720 H.264 fixture). A --json path is
# handed to a Windows program as Wine's Z: path.
set -uo pipefail

e2e_name=run_scale_bench
source "$(dirname "$0")/../tests/e2e/e2e_common.sh"
[[ $# -ge 3 ]] || e2e_fail "usage: run_scale_bench.sh PHONE_SIM SCALE_BENCH FIXTURES_DIR [--phone-stream FILE] [OPTIONS...]"
e2e_setup "$1" "$2"
fixtures=$3
shift 3

bench_args=()
idle=0
while [[ $# -gt 0 ]]; do
  case $1 in
    --phone-stream)
      [[ $# -ge 2 && -r $2 ]] || e2e_fail "--phone-stream needs a readable packet file"
      four_phones_h264=$2
      # The bench names the committed fixture unless told otherwise (a later --stream-name wins).
      bench_args+=(--stream-name "$(basename "$2")")
      shift 2
      continue ;;
    --idle) idle=1 ;;
    --json)
      if [[ $# -ge 2 && ${#runner[@]} -gt 0 && $2 == /* ]]; then
        bench_args+=(--json "Z:$2")
        shift 2
        continue
      fi ;;
  esac
  bench_args+=("$1")
  shift
done

source "$(dirname "$0")/../tests/e2e/four_phones.sh"
watch=()
if [[ $idle == 0 ]]; then
  four_phones_start "$fixtures"
  # The bench reports the CPU time of the phones, which share the machine with the engine.
  for n in 1 2 3 4; do watch+=(--watch "phone$n=${phone_pids[$((n - 1))]}"); done
fi
# Under Wine, this run's wineserver (in the pc namespace) serves the engine's sockets and named
# objects: its CPU time belongs beside the engine's.
if [[ ${#runner[@]} -gt 0 ]]; then
  for pid in $(pgrep '^wineserver'); do
    [[ $(ip netns identify "$pid" 2>/dev/null) == "$KAVEX_NETNS_PC" ]] && watch+=(--watch "wineserver=$pid")
  done
fi

"${runner[@]}" "$program" "${phone_args[@]}" "${watch[@]}" "${bench_args[@]}"
