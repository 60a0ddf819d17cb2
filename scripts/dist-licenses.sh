#!/usr/bin/env bash
# Fills the release's LICENSES folder: the engine's licence, the licence texts of the libraries
# linked into engine.dll, taken from the pinned Debian source packages that deps/ builds them from
# (checked against the pinned checksums first), and THIRD-PARTY-NOTICES.txt, which names those
# exact sources and tells how to rebuild the DLL against a modified library.
# usage: scripts/dist-licenses.sh VERSION DIR
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
version=$1
dir=$2
cache=${KAVEX_CACHE:-/var/cache/kavex-engine}
die() { echo "dist-licenses: $*" >&2; exit 1; }

# A pinned value of deps/LIB.sh: the script's own assignment, not a run of it.
pin() { sed -n "s/^$2=//p" "$root/deps/$1.sh" | tr -d "'\""; }

mkdir -p "$dir"
cp "$root/dist/LICENSE-engine.txt" "$dir/kavex-engine.txt"

notice=$dir/THIRD-PARTY-NOTICES.txt
cat >"$notice" <<HEAD
Third-party software in Kavex Webcam engine $version (engine.dll)

engine.dll links the libraries below statically. Each was built for i686-w64-mingw32 from the
Debian 12 source package named here, unchanged apart from Debian's own patches, by the scripts in
the engine's deps/ folder. Their licence texts are in the folder of the same name.

HEAD

# library, files in the upstream tarball (folder stripped) to copy, its licence in one line
add_library() {
  local lib=$1 licence=$2; shift 2
  local srcpkg debver dsc_sha orig orig_sha upstream dsc
  srcpkg=$(pin "$lib" DEPS_SRCPKG)
  debver=$(pin "$lib" DEPS_DEBVER)
  dsc_sha=$(pin "$lib" DEPS_DSC_SHA256)
  orig=$(pin "$lib" DEPS_ORIG)
  orig_sha=$(pin "$lib" DEPS_ORIG_SHA256)
  [[ -n $srcpkg && -n $debver && -n $orig && -n $orig_sha && -n $dsc_sha ]] ||
    die "deps/$lib.sh lacks a pinned source"
  upstream=${debver#*:}
  dsc=${srcpkg}_${upstream}.dsc
  upstream=${upstream%-*}
  for file in "$dsc:$dsc_sha" "$orig:$orig_sha"; do
    [[ -f $cache/src/${file%%:*} ]] || die "$cache/src/${file%%:*} is missing (make deps)"
    echo "${file##*:}  $cache/src/${file%%:*}" | sha256sum --quiet -c - ||
      die "$cache/src/${file%%:*} does not match its pinned checksum"
  done
  mkdir -p "$dir/$lib"
  tar -xf "$cache/src/$orig" --no-same-owner --no-same-permissions -C "$dir/$lib" --strip-components=1 --no-wildcards-match-slash \
    --wildcards "${@/#/*/}"
  # Debian's packaging tarball: its copyright file lists every file's holders and licence.
  local debian
  debian=$(sed -n 's/^ [0-9a-f]\{64\} [0-9]* \(.*\.debian\.tar\.[a-z0-9]*\)$/\1/p' "$cache/src/$dsc" | head -n 1)
  [[ -n $debian && -f $cache/src/$debian ]] || die "no Debian packaging tarball for $dsc"
  tar -xOf "$cache/src/$debian" debian/copyright >"$dir/$lib/debian-copyright"
  cat >>"$notice" <<LIB
$lib $upstream ($licence)
  Debian source package $srcpkg, version $debver
  $dsc  sha256 $dsc_sha
  $orig  sha256 $orig_sha
  built by deps/$lib.sh; licence texts: $lib/ ($* and Debian's copyright file)

LIB
}
add_library ffmpeg "libavcodec, libavutil, libswscale: LGPL 2.1 or later" COPYING.LGPLv2.1 LICENSE.md
add_library opus "BSD 3-clause" COPYING
add_library libplist "LGPL 2.1 or later" COPYING.LESSER

# The compiler's runtime linked into every program, and stb_image_write in the two tools: the MinGW-w64 startup code and winpthreads
# (permissive licences that ask for their notices), libgcc and libstdc++ (GCC runtime exception).
mkdir -p "$dir/mingw-w64"
cp /usr/share/doc/mingw-w64-i686-dev/copyright "$dir/mingw-w64/copyright"
mingw=$(dpkg-query -W -f '${Version}' mingw-w64-i686-dev 2>/dev/null || echo unknown)
mkdir -p "$dir/stb"
cp /usr/share/doc/libstb-dev/copyright "$dir/stb/copyright"
stb=$(dpkg-query -W -f '${Version}' libstb-dev 2>/dev/null || echo unknown)
cat >>"$notice" <<TAIL
MinGW-w64 runtime and winpthreads (Debian package mingw-w64-i686-dev $mingw)
  permissive licences (ZPL 2.1, MIT, BSD and others): mingw-w64/copyright

kavex-host.exe and camera-viewer.exe also contain stb_image_write, which writes their PNG files
(Debian package libstb-dev $stb)
  public domain or MIT, at your choice: stb/copyright

Rebuilding engine.dll against a modified library
  FFmpeg and libplist are under the GNU Lesser General Public License, which lets you replace them
  with modified versions. The engine's source tree builds the DLL from the pinned sources above:

  1. Make the modified source package: change the library's source (apt-get source $(pin ffmpeg DEPS_SRCPKG)=$(pin ffmpeg DEPS_DEBVER)
     and so on, or your own tree), and point deps/<library>.sh at it: DEPS_DEBVER, DEPS_ORIG and
     the two checksums (DEPS_DSC_SHA256, DEPS_ORIG_SHA256), or put your files in
     \${KAVEX_CACHE:-/var/cache/kavex-engine}/src/ under the pinned names with the new checksums.
  2. make deps     (cross-builds the three libraries into the cache; a changed script or source
                    rebuilds that library)
  3. make build-win32   (links build/win32/bin/engine.dll against them), then make dist.

  Kavex gives anyone who received engine.dll the engine's source tree (or its object files) on
  request, so that they can relink it this way. engine.dll uses only the libraries' public
  interfaces (libavcodec, libavutil and libswscale 5.1, libplist 2.2), so a modified library with
  the same interface links in its place.
TAIL
