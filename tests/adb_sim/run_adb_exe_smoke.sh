#!/bin/bash
# adb.exe under Wine, once through: the first "devices" starts the server and prints CRLF lines,
# forwards reach a phone-sim on the phone side (its announcement block and its session), an
# unauthorised device is refused, kill-server frees every port. Runs inside scripts/netns-run.sh.
# usage: run_adb_exe_smoke.sh ADB_EXE PHONE_SIM
set -u
adb=$1
phone_sim=$2
: "${KAVEX_NETNS_PHONE:?run inside scripts/netns-run.sh}"
work=$(mktemp -d)
trap 'kill "$phone" 2>/dev/null; wait "$phone" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

# Ports of their own, so that the other tests' phones and bridges are not met.
ip netns exec "$KAVEX_NETNS_PHONE" "$phone_sim" --quiet --name "USB Phone" \
  --listen "$KAVEX_PHONE_ADDR:14699" --probe "$KAVEX_PHONE_ADDR:14697" >"$work/ready" &
phone=$!
for _ in $(seq 50); do grep -q ready "$work/ready" && break; sleep 0.1; done
printf 'device R5CT1234 device %s 4697=14697 4699=14699\ndevice 0123456789ABCDEF unauthorized\n' \
  "$KAVEX_PHONE_ADDR" >"$work/devices.txt"
export KAVEX_ADB_DEVICES=$work/devices.txt KAVEX_ADB_PORT=15037

timeout 60 wine "$adb" devices >"$work/out" 2>"$work/err" || fail "devices exit $?"
printf 'List of devices attached\r\nR5CT1234\tdevice\r\n0123456789ABCDEF\tunauthorized\r\n\r\n' >"$work/want"
cmp -s "$work/out" "$work/want" || { od -c "$work/out"; fail "devices output"; }
grep -q "daemon started successfully" "$work/err" || fail "no server start: $(cat "$work/err")"

timeout 60 wine "$adb" -s R5CT1234 forward tcp:14600 tcp:4697 || fail "announcement forward"
timeout 60 wine "$adb" -s R5CT1234 forward tcp:14601 tcp:4699 || fail "session forward"
timeout 60 wine "$adb" -s 0123456789ABCDEF forward tcp:14602 tcp:4697 2>/dev/null && fail "unauthorised forward"
python3 - <<'PY' || fail "through the forwards"
import socket
s = socket.create_connection(("127.0.0.1", 14600), timeout=5)
block = b""
while chunk := s.recv(4096):
    block += chunk
assert len(block) == 280 and block[:4] == bytes.fromhex("18010001"), block[:8]
assert block[24:33] == b"USB Phone", block[24:40]
s = socket.create_connection(("127.0.0.1", 14601), timeout=5)
head = s.recv(4)
assert head == bytes.fromhex("18010001"), head
PY
timeout 60 wine "$adb" kill-server || fail "kill-server"
python3 - <<'PY' || fail "ports still open after kill-server"
import socket
for port in (15037, 14600, 14601):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=2)
    except OSError:
        continue
    raise SystemExit(f"{port} still accepts")
PY
echo "adb.exe smoke: ok"
