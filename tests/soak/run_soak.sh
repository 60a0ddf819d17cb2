#!/usr/bin/env bash
# Runs the soak program (natively, or under Wine for a .exe) against four phone simulators on the
# phone side of the test network, each started again after it vanished. Must run inside
# scripts/netns-run.sh.
#   run_soak.sh PHONE_SIM SOAK FIXTURES_DIR OUT_DIR [SOAK OPTIONS...]
# OUT_DIR gets samples.csv, soak.log (the program's lines) and the phones' logs. SOAK_SEED, when
# set, repeats an earlier run's faults.
set -uo pipefail

e2e_name=run_soak
source "$(dirname "$0")/../e2e/e2e_common.sh"
[[ $# -ge 4 ]] || e2e_fail "usage: run_soak.sh PHONE_SIM SOAK FIXTURES_DIR OUT_DIR [OPTIONS...]"
e2e_setup "$1" "$2"
fixtures=$3
out=$4
shift 4
mkdir -p "$out" || e2e_fail "cannot make $out"
out=$(cd "$out" && pwd)

# The engine's trace would grow with the run; the phones' logs are kept small by --quiet.
[[ $KAVEX_TRACE == "$work/engine.log" ]] && unset KAVEX_TRACE

source "$(dirname "$0")/../e2e/four_phones.sh"
four_phones_respawn=1
four_phones_start "$fixtures" --hevc-fixture "$fixtures/hevc-1280x720.psimpkt"

# glibc gives threads that allocate at once arenas of their own (up to eight per core, each
# reserving 64 MiB); every session's threads start on whichever is free, so VmData climbs for
# hundreds of MiB with nothing leaked. Two arenas keep the figure about the engine.
[[ ${#runner[@]} -eq 0 ]] && export MALLOC_ARENA_MAX=${MALLOC_ARENA_MAX:-2}

csv=$out/samples.csv
# Under Wine a Linux path is reached through drive Z:.
[[ ${#runner[@]} -gt 0 ]] && csv="Z:${csv//\//\\}"
seed=()
[[ -n ${SOAK_SEED:-} ]] && seed=(--seed "$SOAK_SEED")

"${runner[@]}" "$program" "${phone_args[@]}" --csv "$csv" "${seed[@]}" "$@" 2>&1 | tee "$out/soak.log"
status=${PIPESTATUS[0]}
for n in 1 2 3 4; do cp "$work/phone$n.log" "$out/phone$n.log" 2>/dev/null; done
echo "$e2e_name: samples in $out/samples.csv, log in $out/soak.log (exit $status)"
exit "$status"
