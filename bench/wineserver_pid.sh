#!/usr/bin/env bash
# Prints the Linux process number of the wineserver in the test network's pc namespace (the one that
# serves the Windows programs of this run), or nothing. Must run inside scripts/netns-run.sh.
set -uo pipefail
for pid in $(pgrep '^wineserver'); do
  if [[ $(ip netns identify "$pid" 2>/dev/null) == "${KAVEX_NETNS_PC:-}" ]]; then
    echo "$pid"
    exit 0
  fi
done
