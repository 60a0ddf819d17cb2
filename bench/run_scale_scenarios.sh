#!/usr/bin/env bash
# Every scale and idle scenario for one build (natively, or under Wine for a .exe), one after the
# other, each through bench/run_scale_bench.sh: four cameras fed by four phones streaming the
# realistic 1280x720 and 1920x1080 H.264 streams, then the placeholder's idle cost for one and four
# cameras, read by a consumer and not. Must run inside scripts/netns-run.sh.
#   run_scale_scenarios.sh PHONE_SIM SCALE_BENCH FIXTURES_DIR STREAMS_DIR OUT_DIR [BENCH OPTIONS...]
#
# STREAMS_DIR holds bench/make-bench-streams.sh's streams. Writes OUT_DIR/<scenario>.json (one
# object each) and OUT_DIR/<scenario>.log (what the run printed, also shown as it goes), then
# prints one line per scenario against its target. BENCH OPTIONS go to every run (e.g.
# --seconds 40; the default window is 20 s after 3 s of settling). Exits non-zero when a scenario
# failed (a camera that never streamed, wrong pictures, no placeholder), never on the figures.
set -euo pipefail

[[ $# -ge 5 ]] || { echo "usage: run_scale_scenarios.sh PHONE_SIM SCALE_BENCH FIXTURES_DIR STREAMS_DIR OUT_DIR [OPTIONS...]" >&2; exit 2; }
sim=$1 program=$2 fixtures=$3 streams=$4 out=$5
shift 5
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"
out=$(cd "$out" && pwd)

# A native engine keeps its settings in a folder of its own, empty at the start.
if [[ $program != *.exe && -z ${KAVEX_SETTINGS_DIR:-} ]]; then
  settings=$(mktemp -d)
  trap 'rm -rf "$settings"' EXIT
  export KAVEX_SETTINGS_DIR=$settings
fi

failed=()
run() {
  local scenario=$1; shift
  echo "=== $scenario ($(basename "$program"))"
  rm -f "$out/$scenario.json"
  if ! "$here/run_scale_bench.sh" "$sim" "$program" "$fixtures" "$@" --scenario "$scenario" \
      --json "$out/$scenario.json" "${extra[@]}" 2>&1 | tee "$out/$scenario.log"; then
    failed+=("$scenario")
  fi
}
extra=("$@")

for size in 1280x720 1920x1080; do
  stream=$streams/h264-$size.psimpkt
  [[ -r $stream ]] || { echo "run_scale_scenarios: no stream $stream (bench/make-bench-streams.sh makes it)" >&2; exit 2; }
  run "4x$size" --phone-stream "$stream" --width "${size%x*}" --height "${size#*x}" --check varied \
    --stream-name "$(basename "$stream") (camera-like, $(cat "$streams/h264-$size.stamp" 2>/dev/null || echo '?'))"
done
for cameras in 1 4; do
  run "idle-$cameras-consumer" --idle "$cameras" --consumer yes
  run "idle-$cameras-no-consumer" --idle "$cameras" --consumer no
done

echo "=== scale and idle scenarios, $(basename "$program"): figures against their targets"
python3 - "$out" <<'EOF'
import json, pathlib, sys
for path in sorted(pathlib.Path(sys.argv[1]).glob("*.json")):
    run = json.loads(path.read_text())
    if run.get("bench") not in ("scale", "idle"):
        continue
    watched = ", ".join(f"{name} {value:.1f} %" for name, value in run.get("watched", {}).items()
                        if value is not None)
    figures = f"{run['cpu_percent_per_camera']:.2f} % of a core per camera"
    if run["bench"] == "scale":
        figures = f"{run['dropped']} dropped, " + figures
    verdict = "met" if run.get("target_met") else "NOT met"
    if run.get("others_cpu_percent") is not None:
        figures += f" (other work on the machine meanwhile: {run['others_cpu_percent']:.0f} % of a core)"
    print(f"  {run['tier']:6} {run['scenario']:20} {figures}; target {run['target']}: {verdict}"
          + ("" if run.get("ok") else " (FAILED)") + (f"; watched: {watched}" if watched else ""))
EOF
if [[ ${#failed[@]} -gt 0 ]]; then
  echo "run_scale_scenarios: failed: ${failed[*]}" >&2
  exit 1
fi
