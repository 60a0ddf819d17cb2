#!/usr/bin/env bash
# Runs each case of the video end-to-end program in a process of its own (natively, or under Wine
# for a .exe), with a phone simulator on the phone side that announces itself, offers HEVC and
# streams the committed fixtures. Must run inside scripts/netns-run.sh.
#   run_video_e2e.sh PHONE_SIM TEST_PROGRAM FIXTURES_DIR
set -uo pipefail

e2e_name=run_video_e2e
source "$(dirname "$0")/e2e_common.sh"
e2e_setup "$1" "$2"
fixtures=$3

export KAVEX_VIDEO_SIM_CONTROL=$KAVEX_PHONE_ADDR:4700

start_sim() {
  e2e_start_sim video --listen "$KAVEX_PHONE_ADDR:4699" --control "$KAVEX_VIDEO_SIM_CONTROL" \
    --announce-if "$KAVEX_PHONE_IF" --announce-interval 500 --name "Video Phone" --hevc \
    --formats 640x480@30,1280x720@30,1920x1080@30 \
    --h264-fixture "$fixtures/h264-1280x720.psimpkt" --hevc-fixture "$fixtures/hevc-1280x720.psimpkt" \
    --opus-fixture "$fixtures/opus-tone-48k.psimpkt"
}

e2e_run_cases start_sim
