#!/usr/bin/env bash
# engine-simdrivers.dll must pass engine.dll's table checks and export exactly what engine.dll
# exports, so a host loads either; engine.dll must carry nothing of the simulated drivers.
# Usage: check_simdrivers_dll.sh CHECK_DLL_TABLES_SH ENGINE_DLL ENGINE_SIMDRIVERS_DLL
set -euo pipefail
tables=$1 engine=$2 simulated=$3
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
nm=${NM:-i686-w64-mingw32-nm}
status=0

bash "$tables" "$simulated" || status=1

exports() {
  "$objdump" -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort
}
engineExports=$(exports "$engine")
[[ -n $engineExports ]] || { echo "no exports read from $engine"; status=1; }
if ! diff <(echo "$engineExports") <(exports "$simulated"); then
  echo "the export lists differ (< engine.dll, > engine-simdrivers.dll)"
  status=1
fi

# The variable prefix is in the simulated drivers' code only; the positive check proves the probe.
grep -aq 'KAVEX_SIMDRIVERS_' "$simulated" || { echo "engine-simdrivers.dll lacks the simulated drivers"; status=1; }
if grep -aq 'KAVEX_SIMDRIVERS_' "$engine"; then
  echo "engine.dll contains the simulated drivers' configuration"
  status=1
fi
if "$nm" -C "$engine" 2>/dev/null | grep -q 'simdrivers::'; then
  echo "engine.dll contains simulated-driver symbols"
  status=1
fi
[[ $status -eq 0 ]] && echo "engine-simdrivers.dll OK"
exit $status
