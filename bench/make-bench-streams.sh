#!/usr/bin/env bash
# Makes the benchmarks' streams as a phone's encoder makes them, into the cache (never into the
# repository): camera-like content (a moving test pattern with grain, so no flat areas), 30 fps,
# no B-frames, a keyframe every 2 s, constant bit rate near what phones send, 10 s, one access unit
# per packet in the phone simulator's packet files. The committed light clips stay for the
# functional tests.
#
#   bench/make-bench-streams.sh [OUT_DIR]     (default $KAVEX_CACHE/bench-streams)
#
# Writes h264-1280x720.psimpkt (6 Mbit/s), h264-1920x1080.psimpkt (12 Mbit/s), hevc-1280x720.psimpkt
# (4 Mbit/s) and hevc-1920x1080.psimpkt (8 Mbit/s); a stream already made with these settings is
# kept (the settings are in its stamp). Needs Debian's ffmpeg (libx264, libx265) and python3.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
tools=$root/tests/fixtures/fixture_tools.py
out=${1:-${KAVEX_CACHE:-/var/cache/kavex-engine}/bench-streams}
seconds=10
fps=30
gop=60

die() { echo "make-bench-streams: $*" >&2; exit 1; }
command -v ffmpeg >/dev/null || die "ffmpeg is missing (scripts/setup-host.sh installs it)"
command -v python3 >/dev/null || die "python3 is missing"
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A test pattern that moves and turns, with temporal grain over all of it: every block changes
# from picture to picture, as a camera's noisy picture does.
source_of() {
  local w=$1 h=$2
  echo "testsrc2=size=${w}x${h}:rate=${fps}:duration=${seconds},noise=alls=14:allf=t+u,format=yuv420p"
}

make_stream() {
  local codec=$1 w=$2 h=$3 kbits=$4
  local name=$codec-${w}x${h}
  local settings="$codec $w $h ${kbits}k $fps $gop ${seconds}s v1"
  if [[ -f $out/$name.psimpkt && $(cat "$out/$name.stamp" 2>/dev/null) == "$settings" ]]; then
    echo "make-bench-streams: $name: kept ($out/$name.psimpkt)"
    return
  fi
  local rate=(-b:v "${kbits}k" -minrate "${kbits}k" -maxrate "${kbits}k" -bufsize "$((kbits / 2))k")
  local args
  if [[ $codec == h264 ]]; then
    # As a phone's hardware encoder sends it: Main profile, no B-frames, no reordering, a keyframe every
    # 2 s with its parameter sets, an access unit delimiter on every picture.
    args=(-c:v libx264 -profile:v main -preset veryfast -tune zerolatency -bf 0 "${rate[@]}"
          -g "$gop" -keyint_min "$gop" -sc_threshold 0 -x264-params aud=1:repeat-headers=1:nal-hrd=cbr
          -f h264)
  else
    args=(-c:v libx265 -preset ultrafast "${rate[@]}"
          -x265-params "log-level=error:aud=1:repeat-headers=1:bframes=0:keyint=$gop:min-keyint=$gop:scenecut=0:open-gop=0:info=0:hash=0:strict-cbr=1:vbv-maxrate=$kbits:vbv-bufsize=$((kbits / 2))"
          -f hevc)
  fi
  ffmpeg -hide_banner -nostdin -loglevel error -y -f lavfi -i "$(source_of "$w" "$h")" "${args[@]}" \
    "$work/$name.$codec"
  python3 "$tools" split-annexb "$codec" "$work/$name.$codec" "$work/$name.psimpkt"
  mv "$work/$name.psimpkt" "$out/$name.psimpkt"
  echo "$settings" >"$out/$name.stamp"
  local bytes
  bytes=$(stat -c %s "$work/$name.$codec")
  echo "make-bench-streams: $name: $((bytes * 8 / seconds / 1000)) kbit/s over ${seconds}s -> $out/$name.psimpkt"
}

make_stream h264 1280 720 6000
make_stream h264 1920 1080 12000
make_stream hevc 1280 720 4000
make_stream hevc 1920 1080 8000
