#!/usr/bin/env bash
# The benchmark's output pipeline in a few seconds: video_bench on the committed clips (which fails
# unless every path drew the clips' pictures), then bench/plot.py on its figures. Fails unless the
# summary holds both sizes' figures and the latency plot was drawn.
#   smoke.sh VIDEO_BENCH OUT_DIR
set -euo pipefail
bench=$1
out=$2
rm -rf "$out"
mkdir -p "$out/native"
"$bench" --frames 40 --runs 1 --latency-seconds 1 --json "$out/native/video.json"
"$(dirname "$0")/plot.py" "$out"
/usr/bin/python3 - "$out" <<'PY'
import json, os, sys
out = sys.argv[1]
summary = json.load(open(os.path.join(out, "summary.json")))
video = summary["tiers"]["native"]["video"]
sizes = {size["size"]: size for size in video["sizes"]}
assert set(sizes) == {"1280x720", "1920x1080"}, sizes.keys()
for size in sizes.values():
    assert size["bare_ms"] > 0 and size["one_by_one_ms"] > 0 and size["paced_ratio"] > 0, size
    assert "samples" not in size["latency_ms"]["engine"], "the summary keeps no raw samples"
    excess = size["excess_ms"]
    assert excess["others"]["pictures"] > 0 and "p99" in excess["keyframes"], excess
assert os.path.getsize(os.path.join(out, "latency.png")) > 1000
print("bench smoke: summary and plots written")
PY
