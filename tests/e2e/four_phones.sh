# Four phone simulators on the phone side of the test network, each announcing itself and streaming
# the 1280x720 H.264 fixture (or the packet file four_phones_h264 names) with Opus audio (sourced
# after e2e_common.sh and e2e_setup).
#
# The engine reaches a phone it heard announcing at the announcement's source address, on the
# session port 4699, so each phone needs an address of its own: phone 1 uses the harness's link
# (pc0/phone0), phones 2-4 each get a link of their own (pcN/phoneN, 198.18.N.0/24), made here
# before the engine starts so that it finds them in its first adapter list. The namespaces, and
# with them these links, go when the harness ends; they are also removed on exit.
#
#   four_phones_start FIXTURES_DIR [MORE SIMULATOR OPTIONS...]
# sets phone_args (--phone N=ADDR:4700, four times, for the program) and phone_pids (the
# simulators' process ids; of the first simulator of each loop when respawning). With four_phones_respawn=1 each simulator runs in a loop that starts it
# again when it exits with `shutdown 10+N` (N seconds later, so that a phone can vanish and come
# back); any other exit ends the loop.
# With four_phones_probe=1 each simulator also answers on its announcement port (ADDR:4697), so a
# cable (the bridge's forwards, the multiplexer's connections) reaches it as well.

links=()
phone_args=()
phone_pids=()

e2e_extra_cleanup() {
  # A respawning loop stopped between two runs of its simulator starts no other; one stopped while
  # its simulator runs stops it itself, this is for the one in between.
  touch "$work/phones.stop"
  local pidfile pid
  for pidfile in "$work"/phone*.pid; do
    [[ -s $pidfile ]] || continue
    pid=$(cat "$pidfile")
    [[ $(cat "/proc/$pid/comm" 2>/dev/null) == phone-sim ]] && kill -TERM "$pid"
  done
  for link in "${links[@]}"; do ip link del "$link" 2>/dev/null; done
}

four_phones_add_link() {
  local n=$1
  ip link add "pc$n" type veth peer name "phone$n" netns "$KAVEX_NETNS_PHONE" || return 1
  links+=("pc$n")
  ip netns exec "$KAVEX_NETNS_PHONE" ip addr add "198.18.$n.2/24" dev "phone$n" &&
    ip netns exec "$KAVEX_NETNS_PHONE" ip link set "phone$n" up &&
    ip addr add "198.18.$n.1/24" dev "pc$n" &&
    ip link set "pc$n" up
}

# A simulator that comes back after `shutdown 10+N`. The loop's own id is in pids (stopped with the
# others); the simulator's current id is kept in NAME.pid for the clean-up.
four_phones_start_respawning() {
  local name=$1; shift
  rm -f "$work/$name.ready"
  (
    trap 'kill -TERM "$child" 2>/dev/null; exit 0' TERM
    while [[ ! -e $work/phones.stop ]]; do
      ip netns exec "$KAVEX_NETNS_PHONE" "$sim" --quiet --ready-file "$work/$name.ready" "$@" \
        >>"$work/$name.log" 2>&1 &
      child=$!
      echo "$child" >"$work/$name.pid"
      wait "$child"
      code=$?
      (( code >= 10 && code <= 40 )) || break
      echo "=== $name: restarting in $((code - 10)) s" >>"$work/$name.log"
      sleep $((code - 10))
    done
  ) &
  pids+=($!)
  for _ in $(seq 100); do
    [[ -s $work/$name.ready ]] && return 0
    sleep 0.1
  done
  cat "$work/$name.log" >&2
  e2e_fail "simulator $name did not start"
}

four_phones_start() {
  local fixtures=$1 n ifname addr
  shift
  for n in 1 2 3 4; do
    if [[ $n == 1 ]]; then
      ifname=$KAVEX_PHONE_IF
      addr=$KAVEX_PHONE_ADDR
    else
      four_phones_add_link $((n - 1)) || e2e_fail "cannot make the link for phone $n"
      ifname=phone$((n - 1))
      addr=198.18.$((n - 1)).2
    fi
    # Keys 1-4: the first four identifier bytes are the phone's number (little-endian).
    local options=(--listen "$addr:4699" --control "$addr:4700"
      --announce-if "$ifname" --announce-family 4 --announce-interval 500
      --id "0${n}000000$(printf 'scale-phone' | od -An -tx1 | tr -d ' \n')00" --name "Scale Phone $n"
      --formats 640x480@30,1280x720@30,1920x1080@30
      --h264-fixture "${four_phones_h264:-$fixtures/h264-1280x720.psimpkt}" --opus-fixture "$fixtures/opus-tone-48k.psimpkt" "$@")
    [[ ${four_phones_probe:-0} == 1 ]] && options+=(--probe "$addr:4697")
    if [[ ${four_phones_respawn:-0} == 1 ]]; then
      four_phones_start_respawning "phone$n" "${options[@]}"
      phone_pids+=("$(cat "$work/phone$n.pid")")
    else
      e2e_start_sim "phone$n" "${options[@]}"
      phone_pids+=("${pids[-1]}")
    fi
    phone_args+=(--phone "$n=$addr:4700")
  done
}
