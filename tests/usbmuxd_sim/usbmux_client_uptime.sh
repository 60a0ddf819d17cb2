#!/usr/bin/env bash
# Runs a program as on a machine that has been up for DAYS days: a time namespace moves the
# monotonic clock forward. Between about 24 and 49 days up, "never" (the steady clock's maximum)
# counted in milliseconds from now no longer fits an int's low bits as a positive number, which is
# where a deadline turned into a wait without saturating shows. Needs root and a kernel with time
# namespaces; skipped (exit 77) without them.
#
#   usbmux_client_uptime.sh DAYS PROGRAM [ARGS...]
set -euo pipefail
offset=$(($1 * 86400))
shift
if ! unshare --time --monotonic "$offset" --fork true 2>/dev/null; then
  echo "no time namespace to be had here (root and CONFIG_TIME_NS needed): skipped"
  exit 77
fi
exec unshare --time --monotonic "$offset" --fork "$@"
