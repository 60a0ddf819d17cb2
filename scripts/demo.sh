#!/usr/bin/env bash
# The engine on simulators, from a phone on the network to pictures in a camera:
#
#   camera-viewer.exe  camera 0's consumer (1280 × 720 YUY2, 30 fps), under Wine
#   kavex-host.exe     the reference host with engine-simdrivers.dll, under Wine
#   phone-sim          the phone, on the phone side of the test network: it announces itself and
#                      streams the H.264 and Opus fixtures
#
# Timeline: the viewer publishes the camera and the host opens it (the placeholder appears:
# snapshot placeholder-before); the phone starts announcing a few seconds later; the engine finds
# it, connects and streams (snapshots live-1, live-2); the phone says goodbye and goes away (the
# placeholder returns: snapshot placeholder-after). While it streams, the host renders camera 0 on
# the engine's preview surface and saves the render target (preview.png). Then a summary. PNGs and
# logs go to --out. The Windows programs run on a private X display (scripts/wine-display.sh), as
# Wine draws Direct3D 9 only there.
#
# With --usb the phone is an Android phone on the cable instead: it never announces itself and is
# reached only through the debug bridge's forwards. adb.exe (the bridge stand-in) sits beside the
# host, where the engine's command line finds it; its device script lists the phone from the start
# (the cable is in before the host starts); at the end the phone is unplugged (the script lists
# nothing) as it says goodbye.
#
#   scripts/demo.sh [--short] [--usb] [--bin-dir DIR] [--phone-sim PATH] [--adb PATH] [--fixtures DIR] [--out DIR]
#
#   --short      about 12 s instead of 20 (the CI test demo_short)
#   --usb        the phone on the cable, through adb.exe (default out dir out/demo-usb)
#   --bin-dir    where camera-viewer.exe, kavex-host.exe and engine-simdrivers.dll are
#                (default build/win32/bin)
#   --phone-sim  the native phone simulator (default build/native/bin/phone-sim)
#   --adb        the bridge stand-in for --usb (default build/win32/bin/adb-sim/adb.exe)
#   --fixtures   the media fixtures (default tests/fixtures)
#   --out        snapshots, logs and summary (default out/demo)
#
# Runs itself inside scripts/netns-run.sh unless it is already inside (KAVEX_NETNS_PC set, as under
# `make test`), then inside scripts/wine-display.sh. Exit codes: 0 live pictures reached the camera; 1 they did not, or a step failed;
# 2 bad usage.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
self=$root/scripts/demo.sh

usage() { sed -n '/^#   scripts\/demo.sh/,/^#   --out/p' "$self" | sed 's/^# \{0,1\}//' >&2; }

short=0
usb=0
bin=$root/build/win32/bin
sim=$root/build/native/bin/phone-sim
adb=
fixtures=$root/tests/fixtures
out=
original_args=("$@")
while (($#)); do
  case $1 in
    --short) short=1 ;;
    --usb) usb=1 ;;
    --bin-dir | --phone-sim | --adb | --fixtures | --out)
      (($# >= 2)) || { usage; exit 2; }
      case $1 in
        --bin-dir) bin=$2 ;;
        --phone-sim) sim=$2 ;;
        --adb) adb=$2 ;;
        --fixtures) fixtures=$2 ;;
        --out) out=$2 ;;
      esac
      shift
      ;;
    -h | --help) usage; exit 0 ;;
    *) echo "demo: unknown argument '$1'" >&2; usage; exit 2 ;;
  esac
  shift
done

[[ -n $out ]] || { ((usb)) && out=$root/out/demo-usb || out=$root/out/demo; }
[[ -n $adb ]] || adb=$bin/adb-sim/adb.exe

if [[ -z ${KAVEX_NETNS_PC:-} ]]; then
  # The engine joins multicast groups on every adapter it sees: only inside the test network.
  exec "$root/scripts/netns-run.sh" -- "$self" "${original_args[@]}"
fi
if [[ -z ${KAVEX_DEMO_DISPLAY:-} ]]; then
  # The host's preview is drawn with Direct3D 9, which Wine has only on an X display: every Windows
  # program of the demo runs in the display runner's prefix, on its private X server.
  export KAVEX_DEMO_DISPLAY=1
  exec "$root/scripts/wine-display.sh" --command "$self" "${original_args[@]}"
fi

# --- timeline (seconds) -------------------------------------------------------------------------
if ((short)); then
  placeholder_time=1.5 # placeholder shown before the phone appears
  live_first=1.5       # live-1 this long after Streaming
  live_second=3        # live-2 (not whole 2 s loops of the fixture after live-1)
  live_time=4.5        # goodbye this long after Streaming
  after_time=2.5       # placeholder-after this long after the goodbye
else
  placeholder_time=3
  live_first=2.5
  live_second=7.5
  live_time=10
  after_time=3.5
fi
# Bounds for the steps that wait on something (Wine starts, discovery).
readonly START_WAIT=60 STREAM_WAIT=45 EXIT_WAIT=15
readonly CONTROL_PORT=4700 SESSION_PORT=4699 ANNOUNCEMENT_PORT=4697 BRIDGE_PORT=15037
# Phone states in the host's events (KavexPhoneState).
readonly STATE_FAILED=1 STATE_CONNECTING=2 STATE_STREAMING=3

say() { printf 'demo: %s\n' "$*"; }
fail() {
  printf 'demo: FAILED: %s\n' "$*" >&2
  exit 1
}

for need in "$bin/camera-viewer.exe" "$bin/kavex-host.exe" "$bin/engine-simdrivers.dll"; do
  [[ -f $need ]] || fail "$need is missing (make build-win32 builds it)"
done
[[ -x $sim ]] || fail "no phone simulator at $sim (make build-native builds it)"
((usb)) && { [[ -f $adb ]] || fail "$adb is missing (make build-win32 builds it)"; }
for need in h264-1280x720.psimpkt opus-tone-48k.psimpkt; do
  [[ -f $fixtures/$need ]] || fail "fixture $fixtures/$need is missing"
done
[[ -n ${KAVEX_NETNS_PHONE:-} && -n ${KAVEX_PHONE_ADDR:-} && -n ${KAVEX_PHONE_IF:-} ]] ||
  fail "KAVEX_NETNS_PC is set but the phone side is not (run through scripts/netns-run.sh)"
command -v wine >/dev/null || fail "wine is not installed"

mkdir -p "$out" || fail "cannot create $out"
out=$(cd "$out" && pwd)
rm -f "$out"/*.png "$out"/*.log "$out"/summary.txt "$out"/viewer.stats "$out"/host-events.txt
work=$(mktemp -d)
# Over USB the host runs from a folder of its own with the bridge beside it, as a host ships it.
host_dir=$bin
if ((usb)); then
  host_dir=$work/host
  mkdir -p "$host_dir" && cp "$bin/kavex-host.exe" "$bin/engine-simdrivers.dll" "$adb" "$host_dir/" ||
    fail "cannot prepare the host's folder"
  export KAVEX_ADB_PORT=$BRIDGE_PORT KAVEX_ADB_DEVICES=$work/devices.txt
fi

# --- teardown -----------------------------------------------------------------------------------
viewer_pid= host_pid= sim_pid= viewer_in= host_in= control=
tail_pids=()
tearing_down=0

alive() { [[ -n $1 ]] && kill -0 "$1" 2>/dev/null; }

# wait_gone PID SECONDS: true once PID has exited.
wait_gone() {
  local pid=$1 i
  for ((i = 0; i < $2 * 10; i++)); do
    alive "$pid" || return 0
    sleep 0.1
  done
  return 1
}

teardown() {
  local rc=$?
  ((tearing_down)) && return
  tearing_down=1
  trap '' INT TERM HUP
  # Asked first, so the viewer takes its consumer away and the host closes the camera as usual.
  [[ -n $viewer_in ]] && { echo quit >&"$viewer_in"; } 2>/dev/null
  [[ -n $host_in ]] && { echo quit >&"$host_in"; } 2>/dev/null
  [[ -n $control ]] && { echo shutdown >&"$control"; } 2>/dev/null
  local pid
  for pid in "$viewer_pid" "$host_pid" "$sim_pid"; do
    [[ -n $pid ]] || continue
    wait_gone "$pid" "$EXIT_WAIT" || kill -TERM "$pid" 2>/dev/null
  done
  for pid in "$viewer_pid" "$host_pid" "$sim_pid"; do
    [[ -n $pid ]] && ! wait_gone "$pid" 5 && kill -KILL "$pid" 2>/dev/null
  done
  for pid in "${tail_pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  wait 2>/dev/null
  # The engine stops the bridge's server when it closes; not when the host was killed.
  ((usb)) && (cd "$host_dir" && timeout 20 wine ./adb.exe kill-server) >/dev/null 2>&1
  rm -rf "$work"
  exit "$rc"
}
trap teardown EXIT
# A program that died must not take the script with it when told something: the write fails instead.
trap '' PIPE
trap 'say "interrupted"; exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# --- helpers ------------------------------------------------------------------------------------
# A sleep that Ctrl-C interrupts at once (a trap waits for a foreground command, not for `wait`).
pause() {
  sleep "$1" &
  wait $!
}
start=$(date +%s.%N)
now() { awk -v s="$start" -v n="$(date +%s.%N)" 'BEGIN { printf "%.1f", n - s }'; }
elapsed_ms() { awk -v s="$start" -v n="$(date +%s.%N)" 'BEGIN { printf "%d", (n - s) * 1000 }'; }

# wait_for FILE PATTERN SECONDS [PID]: true once FILE has a line matching PATTERN; false after
# SECONDS or when PID has exited without it.
wait_for() {
  local file=$1 pattern=$2 limit=$3 pid=${4:-} i
  for ((i = 0; i < limit * 10; i++)); do
    grep -qE "$pattern" "$file" 2>/dev/null && return 0
    if [[ -n $pid ]] && ! alive "$pid"; then
      grep -qE "$pattern" "$file" 2>/dev/null
      return
    fi
    sleep 0.1
  done
  return 1
}

# Lines of a program's log shown as they come, with a tag.
show() {
  local file=$1 tag=$2 pid=$3
  tail -n +1 -F --pid="$pid" "$file" 2>/dev/null | sed -u -e 's/\r$//' -e "s/^/  $tag | /" &
  tail_pids+=($!)
}

# The phone's control channel (tools/phone-sim/README.md): one line per reply; list replies end
# with a "." line.
sim_command() {
  local reply=
  printf '%s\n' "$1" >&"$control" || return 1
  IFS= read -r -t 30 reply <&"$control" || return 1
  printf '%s\n' "${reply%$'\r'}"
}
sim_list() {
  local line
  printf '%s\n' "$1" >&"$control" || return 1
  while IFS= read -r -t 30 line <&"$control"; do
    line=${line%$'\r'}
    [[ $line == . ]] && return 0
    printf '%s\n' "$line"
  done
  return 1
}

# The host's events (tools/host --events): "SECONDS EVENT CAMERA VALUES..." lines. The moment of
# the first event matching PATTERN (an extended regex for what follows the seconds).
host_events=$out/host-events.txt
host_time() {
  sed -nE "s/^([0-9.]+) ($1)\$/\1/p" "$host_events" 2>/dev/null | head -n 1
}
host_event() { printf '^[0-9.]+ %s$' "$1"; }

# What the phone saw, from the phone simulator's own summary of the run (tools/phone-sim/README.md),
# asked for before it leaves: sets the phone_* variables of the summary.
read_phone() {
  local summary codec
  summary=$(sim_list summary)
  summary_value() { awk -v key="$1" '$1 == key { print $2; exit }' <<<"$summary"; }
  codec=$(summary_value format_codec)
  case $codec in 1) phone_codec=H.264 ;; 2) phone_codec=HEVC ;; *) phone_codec="codec $codec" ;; esac
  phone_format=$(summary_value format)
  phone_request_size=-
  [[ $phone_format == - || -z $phone_format ]] || phone_request_size=${phone_format%@*}
  phone_video_sent=$(summary_value video_packets)
  phone_audio_sent=$(summary_value audio_packets)
  phone_ack_count=$(summary_value acks)
  phone_ack_window=$(summary_value ack_window)
  phone_decode_ms=$(summary_value ack_decode_ms)
  phone_delivery_ms=$(summary_value ack_delivery_ms)
}
phone_codec= phone_format= phone_request_size=- phone_video_sent= phone_audio_sent= phone_ack_count=
phone_ack_window=0 phone_decode_ms=- phone_delivery_ms=-

# The phone: over the network it announces itself every 500 ms; over USB it only answers on its
# announcement and session ports, which the bridge forwards, and the bridge lists it.
start_phone() {
  local reach
  if ((usb)); then
    say "$(now) s: phone simulator on the cable (bridge device R5CT1234), streaming the H.264 1280x720 and Opus fixtures"
    printf 'style crlf\ndevice R5CT1234 device %s\n' "$KAVEX_PHONE_ADDR" >"$KAVEX_ADB_DEVICES"
    reach=(--probe "$KAVEX_PHONE_ADDR:$ANNOUNCEMENT_PORT")
  else
    say "$(now) s: phone simulator announcing on $KAVEX_PHONE_IF, streaming the H.264 1280x720 and Opus fixtures"
    reach=(--announce-if "$KAVEX_PHONE_IF" --announce-family 4 --announce-interval 500)
  fi
  ip netns exec "$KAVEX_NETNS_PHONE" "$sim" --ready-file "$work/sim.ready" \
    --listen "$KAVEX_PHONE_ADDR:$SESSION_PORT" --control "$KAVEX_PHONE_ADDR:$CONTROL_PORT" "${reach[@]}" \
    --name "Demo Phone" \
    --h264-fixture "$fixtures/h264-1280x720.psimpkt" --opus-fixture "$fixtures/opus-tone-48k.psimpkt" \
    >"$out/phone-sim.log" 2>&1 &
  sim_pid=$!
  wait_for "$work/sim.ready" 'ready' 10 "$sim_pid" || fail "the phone simulator did not start: $(tail -n 5 "$out/phone-sim.log")"
  exec {control}<>"/dev/tcp/$KAVEX_PHONE_ADDR/$CONTROL_PORT" || fail "cannot reach the phone's control channel"
}

# --- 1. the camera's consumer -------------------------------------------------------------------
say "$(now) s: camera viewer: camera 0, 1280x720 YUY2, 30 fps"
mkfifo "$work/viewer.in" "$work/host.in"
wine "$bin/camera-viewer.exe" --camera 0 --size 1280x720 --code 1 --fps 30 --duration 300 \
  --snapshot-dir "Z:$out" --stats-file "Z:$out/viewer.stats" \
  <"$work/viewer.in" >"$out/viewer.log" 2>&1 &
viewer_pid=$!
exec {viewer_in}>"$work/viewer.in"
show "$out/viewer.log" viewer "$viewer_pid"
wait_for "$out/viewer.log" 'consumer of' "$START_WAIT" "$viewer_pid" ||
  fail "the camera viewer did not publish the camera section"

# --- 2. the host with the engine ----------------------------------------------------------------
((usb)) && start_phone
say "$(now) s: reference host with engine-simdrivers.dll"
(cd "$host_dir" && exec wine ./kavex-host.exe --dll engine-simdrivers.dll --cameras 1 --duration 300 \
  --events "Z:$host_events") \
  <"$work/host.in" >"$out/host.log" 2>&1 &
host_pid=$!
exec {host_in}>"$work/host.in"
show "$out/host.log" host "$host_pid"
wait_for "$host_events" "$(host_event 'open 0 -?[0-9]+')" "$START_WAIT" "$host_pid" || fail "the host did not open camera 0"
# The host's clock starts with the host: where it lies on ours (to a poll's accuracy) places the
# phone's start among the host's timestamps.
host_offset=$(awk -v seen="$(elapsed_ms)" -v t="$(host_time 'open 0 -?[0-9]+')" \
  'BEGIN { printf "%.3f", seen / 1000 - t }')
grep -qE "$(host_event 'open 0 0')" "$host_events" || fail "camera 0 did not open: $(grep -E "$(host_event 'open 0 .*')" "$host_events")"
wait_for "$out/viewer.log" 'first picture' 15 "$viewer_pid" || fail "no placeholder picture reached the camera"
# Over USB the phone is already there: the placeholder shows only while the engine lists it.
((usb)) || pause "$placeholder_time"
echo "snapshot placeholder-before" >&"$viewer_in"

# --- 3. the phone appears -----------------------------------------------------------------------
if ((usb)); then
  say "$(now) s: the phone is on the cable from the start; the engine lists it through adb.exe"
  phone_start=$(host_time 'open 0 -?[0-9]+')
else
  start_phone
  phone_start=$(awk -v ms="$(elapsed_ms)" -v o="$host_offset" 'BEGIN { printf "%.3f", ms / 1000 - o }')
fi

wait_for "$host_events" "$(host_event "state 0 $STATE_STREAMING")" "$STREAM_WAIT" "$host_pid" ||
  fail "the engine did not stream from the phone within ${STREAM_WAIT}s"
echo "phase live" >&"$viewer_in"
say "$(now) s: streaming"
pause "$live_first"
echo "snapshot live-1" >&"$viewer_in"
pause "$(awk -v a="$live_second" -v b="$live_first" 'BEGIN { print a - b }')"
echo "snapshot live-2" >&"$viewer_in"
pause "$(awk -v a="$live_time" -v b="$live_second" 'BEGIN { print a - b }')"

# The preview as the host's window would show it: camera 0 marked as the one the user looks at, its
# pictures rendered on the engine's Direct3D 9 surface and the render target saved.
echo "active 0" >&"$host_in"
echo "preview Z:$out/preview.png 5" >&"$host_in"
wait_for "$out/host.log" 'preview: ' 20 "$host_pid" || fail "the host did not render the preview"
preview_line=$(tr -d '\r' <"$out/host.log" | sed -n 's/.*preview: //p' | head -n 1)

read_phone # before it leaves

# --- 4. the phone leaves ------------------------------------------------------------------------
echo "phase after" >&"$viewer_in"
if ((usb)); then
  say "$(now) s: the phone is unplugged (the bridge lists nothing) and says goodbye"
  printf 'style crlf\n' >"$KAVEX_ADB_DEVICES"
else
  say "$(now) s: the phone says goodbye and stops announcing"
fi
sim_command "goodbye close" >/dev/null
sim_command shutdown >/dev/null
exec {control}>&-
control=
wait_gone "$sim_pid" 5 || kill -TERM "$sim_pid" 2>/dev/null
pause "$after_time"
echo "snapshot placeholder-after" >&"$viewer_in"
pause 1

# --- 5. the end ---------------------------------------------------------------------------------
echo quit >&"$viewer_in"
echo quit >&"$host_in"
wait_gone "$viewer_pid" "$EXIT_WAIT" || say "the viewer did not end; stopping it"
wait_gone "$host_pid" "$EXIT_WAIT" || say "the host did not end; stopping it"
sleep 0.3 # the last lines through the tails
stats=$out/viewer.stats
stat() { tr -d '\r' <"$stats" 2>/dev/null | sed -n "s/^$1=//p" | head -n 1; }
# The median of a phase's whole seconds: the first and last hold a few pictures of the phase
# before (the script tells the viewer of a change a moment after it happened).
median_per_second() {
  stat "phase.$1.per_second" | tr ',' '\n' | grep -E '^[1-9][0-9]*$' | sort -n |
    awk '{ v[NR] = $1 } END { print NR ? v[int((NR + 1) / 2)] : "-" }'
}
# The host's moments of the phone's arrival: first noticed (listed or connected to), the connection
# attempt that led to streaming, streaming; and the attempts that failed before.
read -r found_t connect_t stream_t failed_attempts < <(awk -v connecting_state="$STATE_CONNECTING" \
  -v failed_state="$STATE_FAILED" -v streaming_state="$STATE_STREAMING" '
  $3 != 0 { next }
  found == "" && (($2 == "phone" && index($0, " Demo Phone") > 0) || ($2 == "state" && $4 == connecting_state)) { found = $1 }
  $2 == "state" && $4 == connecting_state && streaming == "" { connecting = $1 }
  $2 == "state" && $4 == failed_state && streaming == "" { failed++ }
  $2 == "state" && $4 == streaming_state && streaming == "" { streaming = $1 }
  END { printf "%s %s %s %d\n", found == "" ? "-" : found, connecting == "" ? "-" : connecting,
          streaming == "" ? "-" : streaming, failed }' "$host_events")
since_phone() {
  [[ $1 != - ]] || { echo "never"; return; }
  awk -v t="$1" -v p="$phone_start" 'BEGIN { printf "%.2f s", t - p }'
}

# How the host was shown the phone while it streamed: its name with " [USB]" or " [WiFi]".
listed_as=$(awk '$2 == "phone" && $3 == 0 && $5 == 1 { $1 = $2 = $3 = $4 = $5 = $6 = ""; name = substr($0, 7) }
  END { print name == "" ? "-" : name }' "$host_events")
if ((usb)); then
  phone_origin="after the host opened the camera, the cable already in"
else
  phone_origin="after it started announcing"
fi

{
  echo
  echo "== demo summary"
  echo "phone found:                $(since_phone "$found_t") $phone_origin (host's timestamps)"
  echo "listed as:                  $listed_as"
  echo "connected:                  $(since_phone "$connect_t") (failed attempts before: $failed_attempts)"
  echo "streaming:                  $(since_phone "$stream_t")"
  echo "negotiated format:          $phone_codec $phone_format (format request: $phone_request_size)"
  echo "video sent by the phone:    $phone_video_sent pictures"
  echo "pictures in the camera:     $(stat phase.live.pictures) while streaming, $(stat phase.live.fps) per second" \
    "(per second: $(stat phase.live.per_second)); $(stat phase.live.missed) missed"
  echo "placeholder:                $(median_per_second start) pictures/s before the phone, $(median_per_second after) after it left (medians)"
  echo "audio sent by the phone:    ${phone_audio_sent:-0} Opus packets ($(awk -v n="${phone_audio_sent:-0}" 'BEGIN { printf "%.1f", n * 0.02 }') s at 48 kHz) for the simulated microphone"
  echo "acknowledgements:           ${phone_ack_count:-0}; last $phone_ack_window: decode $phone_decode_ms ms, delivery $phone_delivery_ms ms on average"
  echo "preview:                    $preview_line"
  echo "snapshots:                  $(cd "$out" && ls -1 *.png 2>/dev/null | tr '\n' ' ')in $out"
  echo "viewer total:               $(stat pictures) pictures in $(stat seconds) s, average $(stat average_fps) per second"
} | tee "$out/summary.txt"

live=$(stat phase.live.pictures)
if [[ -z $live || $live -eq 0 || -z ${phone_ack_count:-} || ${phone_ack_count:-0} -eq 0 ]]; then
  echo "demo: FAILED: no live pictures reached the camera" >&2
  exit 1
fi
# The preview shows the phone's colour bars, not an empty target: most of it lit.
lit=$(sed -nE 's/.*, ([0-9]+)% lit.*/\1/p' <<<"$preview_line")
if [[ ! -s $out/preview.png || -z $lit || $lit -lt 50 ]]; then
  echo "demo: FAILED: the preview did not show the phone's picture ($preview_line)" >&2
  exit 1
fi
if ((usb)) && [[ $listed_as != *" [USB]" ]]; then
  echo "demo: FAILED: the phone was not listed as streaming over USB" >&2
  exit 1
fi
exit 0
