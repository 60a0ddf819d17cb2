#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR
# Cross-builds libplist (C library, plus the small C++ wrapper) as static libraries for
# i686-w64-mingw32 from Debian's source package. Prints the install prefix.
set -euo pipefail
# shellcheck source=common.sh
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/common.sh"

DEPS_NAME=libplist
DEPS_SRCPKG=libplist
DEPS_DEBVER='2.2.0-6'
DEPS_DSC_SHA256=e15e69019c1665f6480e4567e91b87f8e4e22feb0c50947c57f2289041a1b578
DEPS_ORIG=libplist_2.2.0.orig.tar.bz2
DEPS_ORIG_SHA256=bd700c1a7862fe732e9292ef65e21bd25e05d09f542ff0b1c49aace0d1bd495e

# Only the libraries and headers; the tools, tests and docs are not needed on Windows.
PLIST_SUBDIRS="libcnary src include"

deps_build_steps() {
  local prefix=$2
  deps_require_tools autoreconf libtoolize aclocal automake
  # The release tarball ships no configure script.
  deps_run env NOCONFIGURE=1 ./autogen.sh
  deps_run ./configure \
    --host="$DEPS_HOST" --prefix="$prefix" \
    --enable-static --disable-shared \
    --without-cython \
    CC="$DEPS_CC" CXX="$DEPS_CXX" \
    CFLAGS="-O2 -g -D_FORTIFY_SOURCE=0" CXXFLAGS="-O2 -g -D_FORTIFY_SOURCE=0"
  deps_run make -j"$DEPS_JOBS" SUBDIRS="$PLIST_SUBDIRS"
  deps_run make install SUBDIRS="$PLIST_SUBDIRS"
}

deps_check_install() {
  local prefix=$1 f sym
  for f in lib/libplist-2.0.a lib/libplist++-2.0.a lib/pkgconfig/libplist-2.0.pc \
           lib/pkgconfig/libplist++-2.0.pc include/plist/plist.h include/plist/plist++.h; do
    [[ -f $prefix/$f ]] || deps_fail_with_log "install is missing $f"
  done
  # The engine re-exports these under their C names, so they must be plain cdecl symbols.
  local defined
  defined=$("$DEPS_HOST-nm" -g --defined-only "$prefix/lib/libplist-2.0.a") ||
    deps_fail_with_log "cannot list the symbols of libplist-2.0.a"
  for sym in plist_new_dict plist_to_xml plist_from_bin plist_free plist_dict_set_item; do
    grep -qx "[0-9a-f]* T _$sym" <<<"$defined" ||
      deps_fail_with_log "libplist-2.0.a does not define $sym as a plain C function"
  done
}

deps_main "${BASH_SOURCE[0]}"
