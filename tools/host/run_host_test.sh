#!/usr/bin/env bash
# The reference host (kavex-host.exe, under Wine, with engine-simdrivers.dll) against phone
# simulators on the phone side of the test network, checked by what it prints and by what the phone
# receives. Each case runs the host as a user would: commands and passcodes typed on its standard
# input (a FIFO here), output read as it appears. Must run inside scripts/netns-run.sh.
#   run_host_test.sh PHONE_SIM KAVEX_HOST_EXE FIXTURES_DIR
set -uo pipefail

e2e_name=run_host_test
source "$(dirname "$0")/../../tests/e2e/e2e_common.sh"
e2e_setup "$1" "$2"
host=$2
fixtures=$3
control=$KAVEX_PHONE_ADDR:4700
# One simulator serves one address: it announces only the family it listens on, so the engine
# never tries an IPv6 address where nothing answers.
announcing=(--announce-if "$KAVEX_PHONE_IF" --announce-family 4 --announce-interval 500)
host_pid=

e2e_extra_cleanup() {
  [[ -n $host_pid ]] && kill -TERM "$host_pid" 2>/dev/null
  exec 4>&- 2>/dev/null
}

failures=0
check() {  # check TEXT: the host printed a line containing TEXT
  if ! grep -qF -- "$1" "$work/host.out"; then
    echo "$e2e_name [$case_name]: no line with: $1" >&2
    failures=$((failures + 1))
  fi
}
expect() {  # expect WHAT ACTUAL PATTERN: ACTUAL matches the extended regular expression
  if ! grep -qE -- "$3" <<<"$2"; then
    echo "$e2e_name [$case_name]: $1: wanted /$3/, got: $2" >&2
    failures=$((failures + 1))
  fi
}

# sim_cmd COMMAND: the simulator's reply (one line; the lines up to "." for received/complaints).
sim_cmd() {
  local reply
  exec 5<>"/dev/tcp/${control%:*}/${control##*:}" || { echo "err no control connection"; return; }
  printf '%s\n' "$1" >&5
  IFS= read -r -t 90 reply <&5
  printf '%s\n' "$reply"
  if [[ $1 == received* || $1 == complaints* ]]; then
    while [[ $reply != . ]] && IFS= read -r -t 10 reply <&5; do printf '%s\n' "$reply"; done
  fi
  exec 5<&- 5>&-
}

# wait_for_line TEXT SECONDS: until the host has printed a line containing TEXT.
wait_for_line() {
  local deadline=$((SECONDS + $2))
  until grep -qF -- "$1" "$work/host.out"; do
    ((SECONDS < deadline)) || { echo "$e2e_name [$case_name]: waited ${2}s for: $1" >&2; return 1; }
    sleep 0.2
  done
}

# start_host ARGS...: the host with its standard input on fd 4 of this script.
start_host() {
  rm -f "$work/host.in" "$work/host.out"
  mkfifo "$work/host.in"
  (cd "$(dirname "$host")" && exec wine "./$(basename "$host")" --dll engine-simdrivers.dll "$@") \
    <"$work/host.in" >"$work/host.out" 2>&1 &
  host_pid=$!
  exec 4>"$work/host.in"
}

# stop_host: quit typed on the console; the host must shut down cleanly within a minute.
stop_host() {
  printf 'quit\n' >&4
  exec 4>&-
  local deadline=$((SECONDS + 60)) status
  while kill -0 "$host_pid" 2>/dev/null && ((SECONDS < deadline)); do sleep 0.2; done
  if kill -0 "$host_pid" 2>/dev/null; then
    echo "$e2e_name [$case_name]: the host did not quit" >&2
    failures=$((failures + 1))
    kill -TERM "$host_pid"
  fi
  wait "$host_pid"
  status=$?
  host_pid=
  expect "host exit code" "$status" '^0$'
  check "cameras uninitialised"
}

finish_case() {
  if ((failures > 0)); then
    echo "$e2e_name [$case_name]: host output:" >&2
    cat "$work/host.out" >&2
    tail -n 20 "$work"/*.log >&2
  fi
  e2e_stop_sims
}

# --- A phone found on the network streams to camera 0; every per-camera callback fires and the
# console commands reach the phone.
case_name=stream
e2e_start_sim stream --listen "$KAVEX_PHONE_ADDR:4699" --control "$control" \
  "${announcing[@]}" --name "Video Phone" --hevc \
  --formats 640x480@30,1280x720@30,1920x1080@30 \
  --h264-fixture "$fixtures/h264-1280x720.psimpkt" --hevc-fixture "$fixtures/hevc-1280x720.psimpkt" \
  --opus-fixture "$fixtures/opus-tone-48k.psimpkt"
start_host --cameras 2 --format-choice 4 --duration 120
expect "streaming" "$(sim_cmd 'wait-streaming 40000')" '^ok'
wait_for_line "cam0 video size 1280 x 720" 20
for status in "16 4 1" "19 1 2 3 4" "20 0.5 1.5 2.5 7" "21 0.25 0.5 0.75 1" "22 -1 -2 -3 -4" \
              "24 5 Wide Tele" "25 3 0.125"; do
  expect "status $status" "$(sim_cmd "status $status")" '^ok'
done
printf 'button 0 4 1\nfocus 0 0.5 0.25 255\nfocus-distance 0 1 0.75\n' >&4
expect "focus distance at the phone" "$(sim_cmd 'wait-received 25 10000')" '^ok'
wait_for_line "cam0 message 25: 3 0.125" 10
# Give the cameras' list refreshes their time (instance 1 refreshes 0.5 s after instance 0).
sleep 2
stop_host
check "cam0 open result 0 (ok)"
check "cam1 open result 0 (ok)"
check "cam0 state Connecting"
check "cam0 state Streaming"
check 'cam0 phone list 0: key "1852794992" name "Video Phone [WiFi]" selected'
check 'cam0 format choice "Automatic/640 x 360/640 x 480/960 x 540/1280 x 720/1280 x 960/1920 x 1080/2560 x 1440/3840 x 2160" -> 4 (1280 x 720)'
check "cam0 video size 1280 x 720"
check "cam0 phone control 4 1 (0x00000004 0x00000001)"
check "cam0 message 19: 1 2 3 4"
check "cam0 message 20: 0.5 1.5 2.5 7"
check "cam0 message 21: 0.25 0.5 0.75 1"
check "cam0 message 22: -1 -2 -3 -4"
check 'cam0 text list "Wide/Tele" value 5'
check "cam0 message 25: 3 0.125"
check "> button cam0 code 4 value 1"
expect "video size reported once" "$(grep -c 'video size' "$work/host.out")" '^1$'
# The answer 4 (1280 x 720) chose the format the phone was asked for.
expect "format asked for" "$(sim_cmd state)" 'format=1280x720@30'
expect "button at the phone" "$(sim_cmd 'received 16')" 'hex=0c0000100400000001000000'
expect "focus at the phone" "$(sim_cmd 'received 18')" 'hex=100000120000003f0000803eff000000'
expect "focus distance at the phone" "$(sim_cmd 'received 25')" 'hex=0c000019010000000000403f'
expect "complaints" "$(sim_cmd complaints | tr '\n' ' ')" '^\. $'
finish_case

# --- A phone with a passcode: the passcode file's wrong passcode is refused, the host asks on the
# console, the typed one is accepted and the phone streams.
case_name=passcode
printf '# passcodes for the test\nLocked Phone=9999\n' >"$work/codes.txt"
e2e_start_sim locked --listen "$KAVEX_PHONE_ADDR:4699" --control "$control" \
  "${announcing[@]}" --name "Locked Phone" \
  --id 70686f6e652d73696d00000000000002 --passcode 1234 --formats 1280x720@30 \
  --h264-fixture "$fixtures/h264-1280x720.psimpkt" --opus-fixture "$fixtures/opus-tone-48k.psimpkt"
# Wine reads the Unix path through its Z: drive.
start_host --passcode-file "$work/codes.txt" --duration 120
phone='"Locked Phone"'
if wait_for_line "cam0 passcode for $phone:" 60; then
  printf '1234\n' >&4
  expect "streaming" "$(sim_cmd 'wait-streaming 30000')" '^ok'
  wait_for_line "cam0 state Streaming" 20
  # Streaming is told on the first packet, the size once its picture is decoded: wait for both.
  wait_for_line "cam0 video size 1280 x 720" 20
fi
stop_host
check "cam0 state PasscodeNeeded"
check "cam0 passcode key for $phone id 70686f6e652d73696d00000000000002: none"
check "cam0 passcode for $phone set (from the passcode file): key 0x85574035101c35a9, connecting again"
check "cam0 passcode key for $phone id 70686f6e652d73696d00000000000002: 0x85574035101c35a9"
check "cam0 passcode for $phone not accepted"
check "cam0 passcode for $phone set (typed): key 0x1fabbdf10314a21d, connecting again"
check "cam0 passcode key for $phone id 70686f6e652d73696d00000000000002: 0x1fabbdf10314a21d"
check "cam0 state Streaming"
check "cam0 video size 1280 x 720"
expect "passcode at the phone" "$(sim_cmd state)" 'passcode=ok'
finish_case

((failures == 0)) && echo "$e2e_name: all cases passed"
exit $((failures > 0))
