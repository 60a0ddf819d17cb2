#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# Cross-builds libopus as a static library for i686-w64-mingw32 from Debian's source package.
# Prints the install prefix.
set -euo pipefail
# shellcheck source=common.sh
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/common.sh"

DEPS_NAME=opus
DEPS_SRCPKG=opus
DEPS_DEBVER='1.3.1-3'
DEPS_DSC_SHA256=c373ac82a1afb824819618c12e279ee47b6ac2fa18083b9ef2bb9e8e9e588419
DEPS_ORIG=opus_1.3.1.orig.tar.gz
DEPS_ORIG_SHA256=65b58e1e25b2a114157014736a3d9dfeaad8d41be1c8179866f144a2fb44ff9d

deps_build_steps() {
  local src=$1 prefix=$2
  # Opus adds -D_FORTIFY_SOURCE=2 unless the macro is already defined, and mingw's fortified
  # string functions live in libssp. Defining it as 0 keeps fortification (and libssp) out;
  # --disable-stack-protector does the same for -fstack-protector-strong.
  deps_run ./configure \
    --host="$DEPS_HOST" --prefix="$prefix" \
    --enable-static --disable-shared \
    --disable-doc --disable-extra-programs \
    --disable-stack-protector \
    CC="$DEPS_CC" \
    CFLAGS="-O2 -g -D_FORTIFY_SOURCE=0"
  if grep -q 'D_FORTIFY_SOURCE=2\|fstack-protector' Makefile; then
    deps_fail_with_log "configure still enabled fortify or the stack protector (see $src/Makefile)"
  fi
  deps_run make -j"$DEPS_JOBS"
  deps_run make install
}

deps_check_install() {
  local prefix=$1 f
  for f in lib/libopus.a lib/pkgconfig/opus.pc include/opus/opus.h; do
    [[ -f $prefix/$f ]] || deps_fail_with_log "install is missing $f"
  done
}

deps_main "${BASH_SOURCE[0]}"
