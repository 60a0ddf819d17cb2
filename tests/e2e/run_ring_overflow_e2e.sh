#!/usr/bin/env bash
# Runs each case of the ring-overflow end-to-end program in a process of its own (natively, or under
# Wine for a .exe), with a phone simulator on the phone side that announces itself and streams the
# two keyframes of the 1920 × 1080 H.264 fixture (packets 0 and 30) in turn, each padded to
# KAVEX_RING_PACKET_BYTES by a filler NAL unit after its picture:
# - heavy packets: 30 a second fill the engine's 7,000,000-byte packet ring within two seconds of
#   the decoder thread standing still (the fixture's own packets are a few hundred bytes), yet leave
#   the ring room for the stream's start, when the receive thread clears the camera's picture slots
#   (slow under the sanitizers) while the phone already sends;
# - keyframes only: a packet that the full ring drops takes no later picture with it, so what the
#   test sees after the overflow is the ring and the output, not the codec getting over a broken
#   chain of references (after some gaps that takes up to a keyframe interval without pictures).
# Must run inside scripts/netns-run.sh.
#   run_ring_overflow_e2e.sh PHONE_SIM TEST_PROGRAM FIXTURES_DIR
set -uo pipefail

e2e_name=run_ring_overflow_e2e
source "$(dirname "$0")/e2e_common.sh"
e2e_setup "$1" "$2"
fixtures=$3

# A control port of its own, apart from the other end-to-end programs' 4700-4704.
export KAVEX_RING_SIM_CONTROL=$KAVEX_PHONE_ADDR:4710
export KAVEX_RING_PACKET_BYTES=120000

# Filler data (NAL unit type 12: 0xff bytes, then the stop bit) may follow a picture in its access
# unit; decoders skip it.
python3 - "$fixtures" "$fixtures/h264-1920x1080.psimpkt" "$work/padded.psimpkt" "$KAVEX_RING_PACKET_BYTES" <<'PY' ||
import sys
sys.path.insert(0, sys.argv[1])
import fixture_tools

source, target, size = sys.argv[2], sys.argv[3], int(sys.argv[4])
packets = fixture_tools.read_packets(source)
padded = []
for packet in (packets[0], packets[30]):
    filler = size - len(packet) - 6  # start code, NAL header, stop-bit byte
    if filler < 0:
        sys.exit("a packet of %d bytes does not fit %d" % (len(packet), size))
    padded.append(packet + b"\x00\x00\x00\x01\x0c" + b"\xff" * filler + b"\x80")
fixture_tools.write_packets(target, padded)
PY
  e2e_fail "could not pad the fixture"

start_sim() {
  e2e_start_sim ring --listen "$KAVEX_PHONE_ADDR:4699" --control "$KAVEX_RING_SIM_CONTROL" \
    --announce-if "$KAVEX_PHONE_IF" --announce-interval 500 --name "Ring Phone" \
    --formats 640x480@30,1280x720@30,1920x1080@30 --video-rate 30 \
    --h264-fixture "$work/padded.psimpkt" --opus-fixture "$fixtures/opus-tone-48k.psimpkt"
}

e2e_run_cases start_sim
