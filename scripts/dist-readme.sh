#!/usr/bin/env bash
# Prints the README of the release archive: the host developers' section of the engine's README
# ("Using the DLL from a host"), under a title with the version.
# usage: scripts/dist-readme.sh VERSION
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
version=$1

section=$(awk '/^## Using the DLL from a host$/ { on = 1; next } on && /^## / { exit } on { print }' \
  "$root/README.md")
[[ -n $section ]] || { echo "dist-readme: README.md has no section \"Using the DLL from a host\"" >&2; exit 1; }

cat <<HEAD
# Kavex Webcam engine $version: using engine.dll from a host

\`engine.dll\` is the engine of Kavex Webcam, which turns a phone into a webcam and a microphone for
a Windows PC. A host application (the user interface) loads the 32-bit DLL and drives it through the
exported C functions declared in \`include/kavex_engine.h\`. This archive holds the DLL, its
interface, import libraries, two tools and the licences; the debug information is in the symbols
archive of the same version.
HEAD
printf '%s\n' "$section"
