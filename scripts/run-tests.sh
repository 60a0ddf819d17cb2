#!/usr/bin/env bash
# Runs every test tier that has been built and ends with one summary line "N passed, N failed".
# Meant to run inside the test namespaces (scripts/netns-run.sh), which `make test` arranges.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KAVEX_BUILD_DIR:-$root/build}
logs=$build/test-logs
mkdir -p "$logs"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}

passed=0
failed=0
tiers_failed=()

# tier name, build folder, parallel jobs
run_tier() {
  local name=$1 dir=$2 jobs=$3
  if [[ ! -f $dir/CTestTestfile.cmake ]]; then
    echo "== $name: not built ($dir)" >&2
    tiers_failed+=("$name (not built)")
    failed=$((failed + 1))
    return
  fi
  echo "== $name"
  local log=$logs/$name.log
  # Unix sockets are not kept apart by the test network: natively, the engine's default service
  # socket would be this machine's own multiplexing service, and through it real phones. Native
  # tiers are pointed at a socket that does not exist unless a test names its own simulator.
  if [[ $name == native* ]]; then
    USBMUXD_SOCKET_ADDRESS=${USBMUXD_SOCKET_ADDRESS:-UNIX:$build/no-usbmux-service} \
      ctest --test-dir "$dir" --output-on-failure -j "$jobs" 2>&1 | tee "$log"
  else
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" 2>&1 | tee "$log"
  fi
  local status=${PIPESTATUS[0]}
  local line total bad
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [[ -z $line ]]; then
    echo "== $name: ctest printed no summary (exit $status)" >&2
    tiers_failed+=("$name")
    failed=$((failed + 1))
    return
  fi
  bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  if [[ $bad -ne 0 || $status -ne 0 ]]; then
    tiers_failed+=("$name")
    # A non-zero exit without a failed count (a crashed discovery, say) still counts as a failure.
    [[ $bad -eq 0 ]] && failed=$((failed + 1))
  fi
}

run_tier native "$build/native" 2
run_tier native-asan "$build/native-asan" 2
run_tier native-tsan "$build/native-tsan" 2
run_tier win32 "$build/win32" 1

echo
if [[ ${#tiers_failed[@]} -gt 0 ]]; then
  echo "failing tiers: ${tiers_failed[*]} (logs in $logs)"
fi
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
