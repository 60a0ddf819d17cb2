#!/usr/bin/env bash
# Builds (or finds in the cache) every third-party library the engine links statically and
# prints their install prefixes on stdout, one per line: ffmpeg, opus, libplist.
# Everything else goes to stderr. Exits non-zero if any library fails.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

prefixes=()
for lib in ffmpeg opus libplist; do
  started=$SECONDS
  if ! out=$(bash "$here/$lib.sh"); then
    printf '[deps] ERROR: %s failed to build (after %d s)\n' "$lib" $((SECONDS - started)) >&2
    exit 1
  fi
  prefix=$(printf '%s\n' "$out" | tail -n 1)
  if [[ -z $prefix || ! -f $prefix/.complete ]]; then
    printf '[deps] ERROR: %s.sh reported "%s", which is not a finished install\n' "$lib" "$prefix" >&2
    exit 1
  fi
  prefixes+=("$prefix")
done
printf '%s\n' "${prefixes[@]}"
