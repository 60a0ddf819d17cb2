#!/usr/bin/env bash
# Runs each case of the discovery end-to-end program in a process of its own (natively, or under
# Wine for a .exe), each with the phone simulators it finds on the phone side of the test network
# (they announce only when told, through their control channels). Must run inside
# scripts/netns-run.sh.
#   run_discovery_e2e.sh PHONE_SIM TEST_PROGRAM
set -uo pipefail

e2e_name=run_discovery_e2e
source "$(dirname "$0")/e2e_common.sh"
e2e_setup "$1" "$2"
e2e_extra_cleanup() { ip link del pc1 2>/dev/null; }  # left by an interrupted address-change case

export KAVEX_DISCOVERY_SIM_A_ID=646973632d73696d0000000000000001
export KAVEX_DISCOVERY_SIM_B_ID=646973632d73696d0000000000000002
export KAVEX_DISCOVERY_SIM_C_ID=646973632d73696d0000000000000003
export KAVEX_DISCOVERY_SIM_A_CONTROL=$KAVEX_PHONE_ADDR:4700
export KAVEX_DISCOVERY_SIM_A6_CONTROL=$KAVEX_PHONE_ADDR:4701
export KAVEX_DISCOVERY_SIM_B_CONTROL=$KAVEX_PHONE_ADDR:4702
# The address-change case starts a third simulator on a link it creates.
export KAVEX_DISCOVERY_SIM_PROGRAM=$sim
export KAVEX_DISCOVERY_WORK=$work

announcing=(--announce-if "$KAVEX_PHONE_IF" --announce-interval 0)

# Each case gets the phone it needs, alone on the phone side. One simulator serves one address,
# so a phone reachable over both families is two simulators with the same identity.
start_sims_for() {
  case $1 in
    *OverIpv4AndIpv6*)
      e2e_start_sim a --listen "$KAVEX_PHONE_ADDR:4699" --control "$KAVEX_DISCOVERY_SIM_A_CONTROL" \
        "${announcing[@]}" --announce-family both --id "$KAVEX_DISCOVERY_SIM_A_ID" --name "Discovery Phone"
      e2e_start_sim a6 --listen "[$KAVEX_PHONE_ADDR6%$KAVEX_PHONE_IF]:4699" \
        --control "$KAVEX_DISCOVERY_SIM_A6_CONTROL" --id "$KAVEX_DISCOVERY_SIM_A_ID" --name "Discovery Phone"
      ;;
    *OnlyOverIpv6*)
      # Announces over IPv6 only and serves its session only at its link-local address.
      e2e_start_sim b --listen "[$KAVEX_PHONE_ADDR6%$KAVEX_PHONE_IF]:4699" \
        --control "$KAVEX_DISCOVERY_SIM_B_CONTROL" "${announcing[@]}" --announce-family 6 \
        --id "$KAVEX_DISCOVERY_SIM_B_ID" --name "Link Local Phone"
      ;;
  esac
}

e2e_run_cases start_sims_for
