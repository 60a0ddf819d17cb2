#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) in the plain native build and runs each for a set time from a
# scratch copy of its committed corpus, then prints per target: executions, executions a second,
# coverage (libFuzzer's cov: and ft:), new corpus entries and crashes. A crash, leak, time-out or
# out-of-memory input leaves its reproducer in build/fuzz-artifacts/<target>/ and fails the run.
#
#   scripts/fuzz.sh [TARGET...]        (make fuzz; default: every fuzz/*_fuzzer.cpp)
#
# FUZZ_SECONDS   time per target (default 180)
# FUZZ_PARALLEL  targets run at once (default 1; the machine has two cores)
# FUZZ_ARGS      more libFuzzer options, e.g. "-max_len=65536" (after fuzz/<target>.options, if any)
#
# The runs happen inside the test network (scripts/netns-run.sh --no-wine), like everything that runs
# engine code, unless already inside it. Nothing is written into the repository: the corpus grows in
# build/fuzz/<target>/corpus and is thrown away by the next run. To keep a reproducer as a
# regression input, copy it into fuzz/corpus/<target>/ by hand.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KAVEX_BUILD_DIR:-$root/build}
seconds=${FUZZ_SECONDS:-180}
parallel=${FUZZ_PARALLEL:-1}
extra=${FUZZ_ARGS:-}

if [[ $# -gt 0 ]]; then
  targets=("$@")
else
  targets=()
  for source in "$root"/fuzz/*_fuzzer.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi

if [[ -z ${KAVEX_FUZZ_INSIDE:-} ]]; then
  cmake -S "$root" -B "$build/native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build/native" -j "${JOBS:-2}" --target "${targets[@]}"
  if [[ -z ${KAVEX_NETNS_PC:-} ]]; then
    exec "$root/scripts/netns-run.sh" --no-wine -- env KAVEX_FUZZ_INSIDE=1 "$0" "${targets[@]}"
  fi
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

scratch=$build/fuzz
artifacts=$build/fuzz-artifacts
mkdir -p "$scratch" "$artifacts"

run_one() {
  local target=$1
  local binary=$build/native/bin/$target
  local work=$scratch/$target
  local found=$artifacts/$target
  rm -rf "$work" "$found"
  mkdir -p "$work/corpus" "$found"
  if [[ -d $root/fuzz/corpus/$target ]]; then
    cp "$root/fuzz/corpus/$target"/* "$work/corpus/" 2>/dev/null || true
  fi
  [[ $target == gif_reader_fuzzer ]] && cp "$root/resources/placeholder.gif" "$work/corpus/"
  local args=(-max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048
              -artifact_prefix="$found/")
  [[ -f $root/fuzz/$target.dict ]] && args+=(-dict="$root/fuzz/$target.dict")
  # A target's own options (e.g. a longer -max_len): its lines that start with '-'.
  [[ -f $root/fuzz/$target.options ]] && mapfile -t -O "${#args[@]}" args < <(grep '^-' "$root/fuzz/$target.options")
  # shellcheck disable=SC2086
  "$binary" "${args[@]}" $extra "$work/corpus" >"$work/log" 2>&1 || true
}

summary_line() {
  local target=$1
  local log=$scratch/$target/log
  local executions rate cov ft corpus crashes
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  cov=$(grep -oE 'cov: [0-9]+' "$log" | tail -1 | cut -d' ' -f2)
  ft=$(grep -oE 'ft: [0-9]+' "$log" | tail -1 | cut -d' ' -f2)
  corpus=$(sed -n 's/^stat::new_units_added: *//p' "$log" | tail -1)
  crashes=$(find "$artifacts/$target" -type f | wc -l)
  printf '%-22s %12s %9s %7s %7s %6s %8s\n' "$target" "${executions:-?}" "${rate:-?}" \
    "${cov:-?}" "${ft:-?}" "${corpus:-?}" "$crashes"
  [[ $crashes -eq 0 && -n $executions ]]
}

echo "fuzzing ${#targets[@]} target(s), ${seconds} s each, ${parallel} at once"
running=0
for target in "${targets[@]}"; do
  if [[ ! -x $build/native/bin/$target ]]; then
    echo "no $target in $build/native/bin (clang++ with libFuzzer missing?)" >&2
    exit 1
  fi
  run_one "$target" &
  running=$((running + 1))
  if [[ $running -ge $parallel ]]; then
    wait -n || true
    running=$((running - 1))
  fi
done
wait || true

status=0
printf '%-22s %12s %9s %7s %7s %6s %8s\n' target executions exec/s cov ft new crashes
for target in "${targets[@]}"; do
  summary_line "$target" || status=1
done
if [[ $status -ne 0 ]]; then
  echo "fuzzing found faults: reproducers in $artifacts/, logs in $scratch/<target>/log" >&2
  for target in "${targets[@]}"; do
    find "$artifacts/$target" -type f -printf '  %p\n'
  done
fi
exit $status
