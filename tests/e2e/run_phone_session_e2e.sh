#!/usr/bin/env bash
# Starts two phone simulators on the phone side of the test network (a plain phone and one with a
# passcode), then runs each case of the end-to-end test program in a process of its own (natively,
# or under Wine for a .exe). Must run inside scripts/netns-run.sh.
#   run_phone_session_e2e.sh PHONE_SIM TEST_PROGRAM
set -uo pipefail

e2e_name=run_phone_session_e2e
source "$(dirname "$0")/e2e_common.sh"
e2e_setup "$1" "$2"

export KAVEX_SIM_A_ID=70686f6e652d73696d00000000000001
export KAVEX_SIM_B_ID=70686f6e652d73696d00000000000002
export KAVEX_SIM_A_CONTROL=$KAVEX_PHONE_ADDR:4700
export KAVEX_SIM_B_CONTROL=$KAVEX_PHONE_ADDR:4702

e2e_start_sim a --listen "$KAVEX_PHONE_ADDR:4699" --control "$KAVEX_SIM_A_CONTROL" \
  --id "$KAVEX_SIM_A_ID" --name "Phone A" --format 1280x720@30 --format 640x480@30
e2e_start_sim b --listen "$KAVEX_PHONE_ADDR:4701" --control "$KAVEX_SIM_B_CONTROL" \
  --id "$KAVEX_SIM_B_ID" --name "Locked" --passcode 1234

e2e_run_cases
