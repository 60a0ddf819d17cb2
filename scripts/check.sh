#!/usr/bin/env bash
# The native build's unit tests (ctest -L unit), as any user: inside a network namespace of the
# user's own (unshare -rn) that holds only loopback, since engine discovery binds the announcement
# port, joins its groups and asks DNS-SD, none of which may reach this machine's network.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if [[ ${1:-} != --inside ]]; then
  if ! unshare -rn true 2>/dev/null; then
    echo "check: this machine gives no user a network namespace of its own (unshare -rn);" \
      "run the unit tests through make test, inside the test network" >&2
    exit 1
  fi
  exec unshare -rn "$0" --inside
fi

PATH=$PATH:/usr/sbin:/sbin
ip link set lo up || { echo "check: loopback does not come up in the namespace" >&2; exit 1; }
# Unix sockets are not kept apart by the namespace: the engine must not find this machine's
# multiplexing service (and through it real phones).
export USBMUXD_SOCKET_ADDRESS=UNIX:$root/build/native/no-usbmux-service
cd "$root" && ctest --preset unit
