#!/usr/bin/env bash
# Runs each case of the USB end-to-end program under Wine in a process of its own, from a folder
# that holds the program, engine-simdrivers.dll and adb.exe (the engine's plain "adb.exe" command
# line finds the bridge there first, as it would beside a real host), with a bridge server port and
# a device script of its own per case, and a phone simulator on the phone side that the bridge's
# forwards reach (announcing itself too where a case needs the network path). The missing-bridge
# case runs twice: with a bridge that says it is not installed, and from a folder without adb.exe.
# Must run inside scripts/netns-run.sh.
#   run_usb_e2e.sh PHONE_SIM TEST_PROGRAM ADB_EXE ENGINE_DLL FIXTURES_DIR
set -uo pipefail

e2e_name=run_usb_e2e
source "$(dirname "$0")/e2e_common.sh"
e2e_setup "$1" "$2"
adb=$3
dll=$4
fixtures=$5
for need in "$adb" "$dll"; do [[ -f $need ]] || e2e_fail "missing $need"; done

host=$work/host
bare=$work/host-without-bridge
mkdir -p "$host" "$bare"
cp "$program" "$dll" "$adb" "$host/"
cp "$program" "$dll" "$bare/"
exe=$(basename "$program")

export KAVEX_USB_SIM_CONTROL=$KAVEX_PHONE_ADDR:4700
# The phone's ports 4697 and 4699 at the same numbers on the simulator's address.
export KAVEX_USB_DEVICE_LINE="device R5CT1234 device $KAVEX_PHONE_ADDR"
phone=(--listen "$KAVEX_PHONE_ADDR:4699" --probe "$KAVEX_PHONE_ADDR:4697" --control "$KAVEX_USB_SIM_CONTROL"
  --name "Cable Phone" --h264-fixture "$fixtures/h264-1280x720.psimpkt"
  --opus-fixture "$fixtures/opus-tone-48k.psimpkt")
announcing=(--announce-if "$KAVEX_PHONE_IF" --announce-family 4 --announce-interval 500)

# Whatever a case left running (a server the engine was told to leave) goes before the next.
stop_server() {
  (cd "$host" && wine ./adb.exe kill-server) >/dev/null 2>&1
}

cases=$(wine "$program" --gtest_list_tests | tr -d '\r' | awk '/^[^ ]/ { suite = $1 } /^  / { print suite $1 }')
[[ -n $cases ]] || e2e_fail "the program lists no cases"
failed=0 port=15100
# run_case CASE FOLDER SCRIPT-TEXT SIM-OPTIONS...
run_case() {
  local case=$1 folder=$2 script=$3
  shift 3
  port=$((port + 1))
  export KAVEX_ADB_PORT=$port KAVEX_ADB_DEVICES=$work/devices-$port.txt
  printf '%s\n' "$script" >"$KAVEX_ADB_DEVICES"
  e2e_start_sim phone "${phone[@]}" "$@"
  echo "$e2e_name: $case (from $(basename "$folder"), bridge port $port)"
  if ! (cd "$folder" && wine "./$exe" --gtest_filter="$case"); then
    failed=$((failed + 1))
    echo "$e2e_name: FAILED $case; simulator log:" >&2
    tail -n 20 "$work/phone.log" >&2
  fi
  stop_server
  e2e_stop_sims
}

for case in $cases; do
  case $case in
    *Wifi*) run_case "$case" "$host" "style crlf" "${announcing[@]}" ;;
    *MissingBridge*)
      run_case "$case" "$host" "not-found" "${announcing[@]}"
      run_case "$case" "$bare" "" "${announcing[@]}"
      ;;
    *) run_case "$case" "$host" "style crlf" ;;
  esac
done
exit $((failed > 0))
