#!/usr/bin/env bash
# Runs the campaign program (natively, or under Wine for a .exe) against four phone simulators on
# the phone side of the test network (each announcing itself and answering on its announcement
# port, started again after it vanished), the multiplexing service simulator on 127.0.0.1:27015
# (control 27016) and the bridge stand-in (its device script rewritten by the program; under
# Windows adb.exe beside a copy of the program, as beside a real host). The program asks the runner
# through hooks for what only the runner may do: kill the bridge's server, change the addresses.
# Must run inside scripts/netns-run.sh.
#   run_campaign.sh PHONE_SIM CAMPAIGN USBMUXD_SIM ADB FIXTURES_DIR OUT_DIR [CAMPAIGN OPTIONS...]
# OUT_DIR gets campaign.log and, when the run fails, the simulators' logs and the engine's trace.
# CAMPAIGN_SEED, when set, repeats an earlier run's draws.
set -uo pipefail

e2e_name=run_campaign
source "$(dirname "$0")/../e2e/e2e_common.sh"
[[ $# -ge 6 ]] || e2e_fail "usage: run_campaign.sh PHONE_SIM CAMPAIGN USBMUXD_SIM ADB FIXTURES_DIR OUT_DIR [OPTIONS...]"
e2e_setup "$1" "$2"
muxsim=$3
adb=$4
fixtures=$5
out=$6
shift 6
for need in "$muxsim" "$adb"; do [[ -x $need ]] || e2e_fail "missing $need"; done
mkdir -p "$out" || e2e_fail "cannot make $out"
out=$(cd "$out" && pwd)
rm -f "$out"/*.log

source "$(dirname "$0")/../e2e/four_phones.sh"
four_phones_respawn=1
four_phones_probe=1
four_phones_start "$fixtures" --hevc-fixture "$fixtures/hevc-1280x720.psimpkt"

# The multiplexing service, on loopback of the pc side: the phone side cannot reach it.
export USBMUXD_SOCKET_ADDRESS=127.0.0.1:27015 KAVEX_CAMPAIGN_MUX_CONTROL=127.0.0.1:27016
rm -f "$work/usbmuxd.ready"
"$muxsim" --quiet --tcp "$USBMUXD_SOCKET_ADDRESS" --control "$KAVEX_CAMPAIGN_MUX_CONTROL" \
  --ready-file "$work/usbmuxd.ready" >"$work/usbmuxd.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [[ -s $work/usbmuxd.ready ]] && break; sleep 0.1; done
[[ -s $work/usbmuxd.ready ]] || e2e_fail "the service simulator did not start"

# The bridge: a server port and a device script of the run's own.
export KAVEX_ADB_PORT=15301 KAVEX_ADB_DEVICES=$work/bridge.txt KAVEX_CAMPAIGN_BRIDGE_SCRIPT=$work/bridge.txt
: >"$KAVEX_ADB_DEVICES"
export KAVEX_CAMPAIGN_HOOKS=$work/hooks
folder=$PWD
if [[ ${#runner[@]} -gt 0 ]]; then
  folder=$work/host
  mkdir -p "$folder"
  cp "$program" "$(dirname "$program")/engine-simdrivers.dll" "$adb" "$folder/" || e2e_fail "cannot copy the host"
  program=./$(basename "$program")
  export KAVEX_CAMPAIGN_CRLF=1
else
  export PATH=$(dirname "$adb"):$PATH KAVEX_ADB_SERVER_LOG=$work/bridge-server.log
fi

hook_bridge_killed() {
  if [[ ${#runner[@]} -gt 0 ]]; then
    (cd "$folder" && wine ./adb.exe kill-server)
  else
    adb kill-server
  fi
  return 0
}
# A link that comes and goes: the engine hears an address change.
hook_address_change() {
  if ip link show pc9 >/dev/null 2>&1; then
    ip link del pc9
  else
    ip link add pc9 type veth peer name phone9 netns "$KAVEX_NETNS_PHONE" &&
      ip addr add 198.18.9.1/24 dev pc9 && ip link set pc9 up
  fi
}
e2e_serve_hooks "$KAVEX_CAMPAIGN_HOOKS"
links+=(pc9)

seed=()
[[ -n ${CAMPAIGN_SEED:-} ]] && seed=(--seed "$CAMPAIGN_SEED")
# The decoders' complaints about corrupt pictures go to the error stream by the thousand: not kept.
# Under Wine the bridge's server inherits the program's output, so the filter sees its end only once
# that server is gone too: the program is waited for alone, then the server stopped (the engine
# stops it when camera 0 closes, but not when a violation ends the process).
(cd "$folder" && exec "${runner[@]}" "$program" "${phone_args[@]}" "${seed[@]}" "$@") \
  > >(grep --line-buffered -v '^\[\(h264\|hevc\) @' | tee "$out/campaign.log") 2>&1 &
campaign_pid=$!
wait "$campaign_pid"
status=$?
hook_bridge_killed >/dev/null 2>&1
sleep 1
if [[ $status -ne 0 ]]; then
  for log in "$work"/*.log; do
    case $log in
      */engine.log) tail -n 20000 "$log" >"$out/engine-trace.log" ;;
      *) cp "$log" "$out/" ;;
    esac
  done
fi
echo "$e2e_name: log in $out/campaign.log (exit $status)"
exit "$status"
