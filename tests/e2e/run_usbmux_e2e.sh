#!/usr/bin/env bash
# Runs each case of the USB multiplexing end-to-end program in a process of its own (natively, or
# under Wine for a .exe), with the service simulator on 127.0.0.1:27015 of the pc side (where the
# Windows client looks; the native system library is pointed there) and a phone simulator on the
# phone side that never announces itself: the service's connections to its ports are the only way
# to it. The program attaches the device through the service's control channel.
# Must run inside scripts/netns-run.sh.
#   run_usbmux_e2e.sh PHONE_SIM TEST_PROGRAM USBMUXD_SIM FIXTURES_DIR
set -uo pipefail

e2e_name=run_usbmux_e2e
source "$(dirname "$0")/e2e_common.sh"
e2e_setup "$1" "$2"
muxsim=$3
fixtures=$4
[[ -x $muxsim ]] || e2e_fail "no service simulator at $muxsim"

export KAVEX_USBMUX_PHONE_CONTROL=$KAVEX_PHONE_ADDR:4700
export KAVEX_USBMUX_SIM_CONTROL=127.0.0.1:27016
export USBMUXD_SOCKET_ADDRESS=127.0.0.1:27015
export KAVEX_USBMUX_DEVICE="3 00008030-000A11112222333E usb product=0x12a8 host=$KAVEX_PHONE_ADDR 4697=4697 4699=4699"

# The service in this (the pc) namespace, on loopback: the phone side cannot reach it.
start_service() {
  rm -f "$work/usbmuxd.ready"
  "$muxsim" --quiet --tcp "$USBMUXD_SOCKET_ADDRESS" --control "$KAVEX_USBMUX_SIM_CONTROL" \
    --ready-file "$work/usbmuxd.ready" >"$work/usbmuxd.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    [[ -s $work/usbmuxd.ready ]] && return 0
    sleep 0.1
  done
  cat "$work/usbmuxd.log" >&2
  e2e_fail "the service simulator did not start"
}

start_sims() {
  e2e_start_sim phone --listen "$KAVEX_PHONE_ADDR:4699" --probe "$KAVEX_PHONE_ADDR:4697" \
    --control "$KAVEX_USBMUX_PHONE_CONTROL" --name "Cable Phone" \
    --h264-fixture "$fixtures/h264-1280x720.psimpkt" --opus-fixture "$fixtures/opus-tone-48k.psimpkt"
  start_service
}

e2e_run_cases start_sims
