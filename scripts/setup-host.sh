#!/usr/bin/env bash
# One-time machine set-up for building and testing the engine on Debian 12 (run as root).
# Safe to run again: every step checks whether it is already done.
set -euo pipefail

# The stamp is keyed by this script's content, so a changed package list installs again.
stamp=${KAVEX_CACHE:-/var/cache/kavex-engine}/setup-$(sha256sum "$0" | cut -c1-16).stamp
if [[ -f $stamp ]]; then
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive

if [[ $(id -u) -ne 0 ]]; then
  echo "setup-host: must run as root (apt-get and ip netns need it)" >&2
  exit 1
fi

changed=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  changed=1
fi

# Debian's source archive, for apt-get source of the cross-built dependencies.
src_list=/etc/apt/sources.list.d/kavex-deb-src.sources
if [[ ! -f $src_list ]]; then
  cat >"$src_list" <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  changed=1
fi

# The package mirrors fail now and then (a mirror in the middle of a sync, or a proxy holding a
# stale copy, answers with index files of the wrong size): each apt step is tried three times, and
# an update that keeps failing leaves the lists of the last good one. With the security suite's i386
# index missing, its amd64 versions would be chosen for libraries that must match their i386 twins
# exactly; installing from the release's own suite then keeps both architectures on one version.
retry() {
  local try
  for try in 1 2 3; do
    "$@" && return 0
    echo "setup-host: '$*' failed (try $try of 3)" >&2
    [[ $try -lt 3 ]] && sleep $((try * 10))
  done
  return 1
}
install_from=()
if ! retry apt-get update -qq; then
  release=$(. /etc/os-release && echo "$VERSION_CODENAME")
  echo "setup-host: apt-get update keeps failing; installing from $release's own suite" >&2
  install_from=(-t "$release")
fi

packages=(
  # cross toolchain and the Windows side
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix mingw-w64-tools binutils-mingw-w64-i686
  wine wine32 nasm
  # Direct3D 9 under Wine needs an X server and 32-bit Mesa
  xvfb xauth libgl1-mesa-dri:i386 libgl1:i386 libglx-mesa0:i386
  # build tools
  cmake make ninja-build pkg-config dpkg-dev build-essential autoconf automake libtool
  xz-utils bzip2 patch
  googletest
  # libFuzzer targets
  clang libclang-rt-14-dev
  # the format check and the static analysis
  clang-format clang-tidy cppcheck
  # PNG writing for the host's previews, the viewer's snapshots and the tests' pictures
  libstb-dev
  # native builds of the same libraries
  libavcodec-dev libavutil-dev libswscale-dev libopus-dev libplist-dev libusbmuxd-dev
  # test harness
  iproute2 procps
  # the release (make dist): import libraries for Microsoft's linkers (lld-link) and their checks
  # (llvm-nm, llvm-readobj)
  llvm lld
  # the benchmarks' realistic streams (libx264, libx265) and their plots
  ffmpeg python3-matplotlib
)
retry apt-get install -y -qq --no-install-recommends "${install_from[@]}" "${packages[@]}" >/dev/null

mkdir -p "$(dirname "$stamp")"
touch "$stamp"
