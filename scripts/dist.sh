#!/usr/bin/env bash
# Makes the release of the Windows build for host developers (`make dist`):
#
#   OUT/kavex-engine-VERSION-win32.zip          engine.dll (stripped), header, engine.def, import
#                                               libraries, kavex-host.exe, camera-viewer.exe,
#                                               README.md, LICENSES/
#   OUT/kavex-engine-VERSION-win32-symbols.zip  the programs' debug information (*.debug), which
#                                               the stripped files name through a debug link
#   and a .sha256 file beside each archive.
#
# usage: scripts/dist.sh [--build DIR] [--out DIR]
#   --build DIR  the configured and built Windows build (default build/win32, as `make build`
#                leaves it: RelWithDebInfo, -O2 with debug information)
#   --out DIR    where the archives go (default out/dist)
# VERSION is the build's project version (CMakeLists.txt). Dependencies' sources and licence texts
# come from the pinned Debian source packages in KAVEX_CACHE (deps/).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/win32
out=$root/out/dist
while [[ $# -gt 0 ]]; do
  case $1 in
    --build) build=$(realpath "$2"); shift 2 ;;
    --out) out=$(realpath -m "$2"); shift 2 ;;
    *) echo "usage: $0 [--build DIR] [--out DIR]" >&2; exit 2 ;;
  esac
done
cache=${KAVEX_CACHE:-/var/cache/kavex-engine}
cross=i686-w64-mingw32

die() { echo "dist: $*" >&2; exit 1; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
[[ -n $version ]] || die "$build is not a configured build (make build-win32 first)"
header_version=$(sed -n 's/^#define KAVEX_ENGINE_VERSION "\(.*\)"$/\1/p' "$root/include/kavex_engine.h")
[[ $header_version == "$version" ]] ||
  die "the build has version $version, include/kavex_engine.h $header_version: configure again"
grep -qF "kavex-engine-$version-win32.zip" "$root/README.md" || die "README.md does not name version $version"

name=kavex-engine-$version-win32
bin=$build/bin
for program in engine.dll kavex-host.exe camera-viewer.exe; do
  [[ -f $bin/$program ]] || die "$bin/$program is missing (make build-win32 first)"
done

mkdir -p "$out"
stage=$(mktemp -d "$out/.stage.XXXXXX")
trap 'rm -rf "$stage"' EXIT
pkg=$stage/$name
symbols=$stage/$name-symbols
mkdir -p "$pkg/include" "$pkg/lib" "$pkg/LICENSES" "$symbols"

# objcopy stamps the images it writes with the time of day unless told a time: the linker's 0.
export SOURCE_DATE_EPOCH=0

# A program without its debug information, which goes to the symbols folder as FILE.debug; the
# debug link names that file and its checksum, so that debuggers and crash tools find it beside
# the program or in their symbol folders.
split_debug() {
  local file=$1
  "$cross-objcopy" --only-keep-debug "$bin/$file" "$symbols/$file.debug"
  (cd "$symbols" && "$cross-objcopy" --strip-all --add-gnu-debuglink="$file.debug" "$bin/$file" "$pkg/$file")
}
for program in engine.dll kavex-host.exe camera-viewer.exe; do
  split_debug "$program"
done

cp "$root/include/kavex_engine.h" "$pkg/include/"

# engine.def for hosts: every export under the name the DLL exports it (the build's engine.def
# maps the preview functions onto their compiled names). A Microsoft linker's import library is
# made from exactly this file; GNU dlltool reads a stdcall export's decorated name differently, so
# its copy says "the symbol SetSize@8 imports the name _SetSize@8".
exports=$(sed -e 's/;.*//' "$root/src/engine.def" | awk '/^EXPORTS/ { on = 1; next } on && NF { print $1 }')
[[ -n $exports ]] || die "no exports in src/engine.def"
{
  echo "; engine.dll $version: every export under the name the DLL exports it. The engine's"
  echo "; functions and the libraries' interfaces are cdecl and undecorated; the seven preview"
  echo "; functions are stdcall and exported decorated (_SetSize@8 ...)."
  echo "LIBRARY engine.dll"
  echo "EXPORTS"
  sed 's/^/    /' <<<"$exports"
} >"$pkg/engine.def"
{
  echo "LIBRARY engine.dll"
  echo "EXPORTS"
  sed -E 's/^_([A-Za-z0-9_]+@[0-9]+)$/\1 == _\1/; s/^/    /' <<<"$exports"
} >"$stage/engine-gnu.def"
# dlltool names the library's symbols after the -l argument: a bare name, so that they do not
# change with the staging folder.
(cd "$pkg/lib" && "$cross-dlltool" -d "$stage/engine-gnu.def" -D engine.dll -l libengine.dll.a)
lld-link -def:"$pkg/engine.def" -machine:x86 -out:"$pkg/lib/engine.lib" >/dev/null

"$root/scripts/dist-readme.sh" "$version" >"$pkg/README.md"
"$root/scripts/dist-licenses.sh" "$version" "$pkg/LICENSES"

# Members in name order, each with one time and plain permissions, and nothing else of the files
# (zip tools add access and change times): the same files give the same archive.
zip_folder() {
  local folder=$1 archive=$2
  (cd "$stage" && python3 - "$folder" "$stage/$archive" <<'ZIP'
import os, sys, zipfile
folder, archive = sys.argv[1], sys.argv[2]
members = sorted(os.path.join(d, f) for d, _, files in os.walk(folder) for f in files)
with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as z:
    for path in members:
        info = zipfile.ZipInfo(path, date_time=(2024, 1, 1, 0, 0, 0))
        info.compress_type = zipfile.ZIP_DEFLATED
        info.create_system = 3
        mode = 0o755 if path.endswith((".exe", ".dll")) else 0o644
        info.external_attr = (0o100000 | mode) << 16
        with open(path, "rb") as f:
            z.writestr(info, f.read())
ZIP
  )
  mv "$stage/$archive" "$out/$archive"
  (cd "$out" && sha256sum "$archive" >"$archive.sha256")
}
zip_folder "$name" "$name.zip"
zip_folder "$name-symbols" "$name-symbols.zip"

echo "dist: $out/$name.zip"
echo "dist: $out/$name-symbols.zip"
(cd "$stage" && find "$name" "$name-symbols" -type f -printf '%s\t%p\n' | LC_ALL=C sort -k2 |
  awk -F'\t' '{ printf "  %10d  %s\n", $1, $2 }')
