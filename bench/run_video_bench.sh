#!/usr/bin/env bash
# Runs video_bench natively, or under Wine for a .exe with the CPU time of this run's wineserver
# watched. Must run inside scripts/netns-run.sh.
#   run_video_bench.sh VIDEO_BENCH [OPTIONS...]
set -euo pipefail
[[ $# -ge 1 ]] || { echo "usage: run_video_bench.sh VIDEO_BENCH [OPTIONS...]" >&2; exit 2; }
program=$1
shift
if [[ $program == *.exe ]]; then
  server=$("$(dirname "$0")/wineserver_pid.sh")
  exec wine "$program" ${server:+--wineserver "$server"} "$@"
fi
exec "$program" "$@"
