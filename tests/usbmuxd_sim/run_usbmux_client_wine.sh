#!/bin/bash
# engine.dll's usbmux client under Wine against the native usbmuxd-sim at the Windows default
# address (127.0.0.1:27015 in the pc namespace), its cable device mapped to a phone-sim on the phone
# side. Runs inside scripts/netns-run.sh.
# usage: run_usbmux_client_wine.sh USBMUXD_SIM PHONE_SIM TEST_EXE
set -u
mux_sim=$1
phone_sim=$2
test_exe=$3
: "${KAVEX_NETNS_PHONE:?run inside scripts/netns-run.sh}"
work=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# Ports of their own, so that the other tests' phones are not met.
ip netns exec "$KAVEX_NETNS_PHONE" "$phone_sim" --quiet --name "Cable Phone" \
  --listen "$KAVEX_PHONE_ADDR:14899" --probe "$KAVEX_PHONE_ADDR:14897" >"$work/phone.ready" &
pids+=($!)
printf 'device 3 00008030-000A11112222333E usb product=0x12a8 host=%s 4697=14897 4699=14899\n' "$KAVEX_PHONE_ADDR" >"$work/devices.txt"
printf 'device 9 00008101-00BB22223333444F network address=%s\n' "$KAVEX_PHONE_ADDR" >>"$work/devices.txt"
"$mux_sim" --quiet --tcp 127.0.0.1:27015 --devices "$work/devices.txt" --ready-file "$work/mux.ready" \
  >/dev/null 2>"$work/mux.err" &
pids+=($!)
for _ in $(seq 50); do grep -q ready "$work/phone.ready" && [[ -s $work/mux.ready ]] && break; sleep 0.1; done
[[ -s $work/mux.ready ]] || fail "usbmuxd-sim did not start: $(cat "$work/mux.err")"

unset USBMUXD_SOCKET_ADDRESS
cd "$(dirname "$test_exe")" || fail "no folder for $test_exe"
timeout 120 wine "$test_exe" || fail "the Wine program failed ($?)"
[[ -s $work/mux.err ]] && fail "usbmuxd-sim wrote errors: $(cat "$work/mux.err")"
echo "usbmux client under Wine: ok"
