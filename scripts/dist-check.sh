#!/usr/bin/env bash
# Checks the release as a host developer gets it: makes it from the Windows build (scripts/dist.sh),
# unpacks the archive into an empty folder and, from there, under Wine:
#   - the reference host loads engine.dll, resolves every export engine.def lists by name and
#     opens a camera (without the virtual camera drivers: open result -1 and its error record);
#   - a small host links against each import library (MinGW, and Microsoft's ABI through lld-link)
#     and runs;
# and without Wine: the checksums, the contents, the size budget of the stripped DLL, its tables
# (tests/win32/check_dll_tables.sh: system DLLs only), no link time in any image, the debug links
# against the symbols archive, one version everywhere, the same archive from a second run.
# Runs inside the test network (scripts/netns-run.sh; the win32 test tier is).
# usage: scripts/dist-check.sh --build DIR --work DIR
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=
work=
while [[ $# -gt 0 ]]; do
  case $1 in
    --build) build=$(realpath "$2"); shift 2 ;;
    --work) work=$(realpath -m "$2"); shift 2 ;;
    *) echo "usage: $0 --build DIR --work DIR" >&2; exit 2 ;;
  esac
done
[[ -n $build && -n $work ]] || { echo "usage: $0 --build DIR --work DIR" >&2; exit 2; }
cross=i686-w64-mingw32
size_budget=5000000

# The names a .def file exports (under EXPORTS, first word, comments dropped).
def_exports() { sed -e 's/;.*//' "$1" | awk '/^EXPORTS/ { on = 1; next } on && NF { print $1 }'; }

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

rm -rf "$work"
mkdir -p "$work"
"$root/scripts/dist.sh" --build "$build" --out "$work/out"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
name=kavex-engine-$version-win32

(cd "$work/out" && sha256sum --quiet -c "$name.zip.sha256" "$name-symbols.zip.sha256") &&
  pass "checksums" || fail "an archive does not match its .sha256"

# The packaging adds nothing that changes between runs.
first=$(cat "$work/out/$name.zip.sha256" "$work/out/$name-symbols.zip.sha256")
"$root/scripts/dist.sh" --build "$build" --out "$work/again" >/dev/null
second=$(cat "$work/again/$name.zip.sha256" "$work/again/$name-symbols.zip.sha256")
[[ $first == "$second" ]] && pass "a second run gives the same archives" ||
  fail "a second run gives other archives"

host=$work/unpacked
symbols=$work/symbols
mkdir -p "$host" "$symbols"
(cd "$host" && cmake -E tar xf "$work/out/$name.zip")
(cd "$symbols" && cmake -E tar xf "$work/out/$name-symbols.zip")
host=$host/$name
symbols=$symbols/$name-symbols

for file in engine.dll include/kavex_engine.h engine.def lib/libengine.dll.a lib/engine.lib \
            kavex-host.exe camera-viewer.exe README.md LICENSES/kavex-engine.txt \
            LICENSES/THIRD-PARTY-NOTICES.txt LICENSES/ffmpeg/COPYING.LGPLv2.1 LICENSES/opus/COPYING \
            LICENSES/libplist/COPYING.LESSER LICENSES/mingw-w64/copyright LICENSES/stb/copyright; do
  [[ -s $host/$file ]] || fail "the archive lacks $file"
done
[[ -z $(find "$host" -name '*.debug') ]] || fail "debug information in the archive"

size=$(stat -c %s "$host/engine.dll")
echo "engine.dll (stripped): $size bytes, budget $size_budget"
[[ $size -lt $size_budget ]] && pass "size budget" || fail "engine.dll is $size bytes, over $size_budget"

bash "$root/tests/win32/check_dll_tables.sh" "$host/engine.dll" || fail "engine.dll's tables"

# Stripped, linked to its debug information (name and CRC, as gdb checks them), no link time.
before=$failures
for program in engine.dll kavex-host.exe camera-viewer.exe; do
  sections=$("$cross-objdump" -h "$host/$program")
  grep -q ' \.debug_' <<<"$sections" && fail "$program still holds debug sections"
  # (objcopy with no output file would rewrite the program it reads)
  rm -f "$work/debuglink"
  "$cross-objcopy" --dump-section .gnu_debuglink="$work/debuglink" "$host/$program" "$work/scratch" 2>/dev/null || true
  link=$(python3 -c 'import sys; d = sys.stdin.buffer.read(); n = d.index(b"\0")
print(d[:n].decode(), int.from_bytes(d[(n + 4) & ~3:][:4], "little"))' <"$work/debuglink" 2>/dev/null || true)
  crc=$(python3 -c 'import sys, zlib; print(zlib.crc32(open(sys.argv[1], "rb").read()))' \
    "$symbols/$program.debug" 2>/dev/null || echo none)
  [[ $link == "$program.debug $crc" ]] || fail "$program's debug link ($link) does not name $program.debug (crc $crc)"
  # The file header's time (shown as a date) and the export directory's (a number): both 0.
  stamps=$("$cross-objdump" -p "$host/$program" | grep -E '^Time/Date' || true)
  [[ -n $stamps ]] && ! grep -vE '1970$|[[:space:]]0$' <<<"$stamps" ||
    fail "$program carries a link time"
done
[[ $failures -eq $before ]] && pass "stripped programs, debug links, no link times"

# One version: the archive's name, the header, the DLL's version block, the README.
header=$(sed -n 's/^#define KAVEX_ENGINE_VERSION "\(.*\)"$/\1/p' "$host/include/kavex_engine.h")
block=$(strings -el "$host/engine.dll" | grep -A1 -xE 'FileVersion|ProductVersion' | grep -vxE 'FileVersion|ProductVersion|--' | sort -u)
[[ $header == "$version" && $block == "$version" ]] && grep -qF "$name.zip" "$host/README.md" &&
  pass "version $version everywhere" ||
  fail "versions differ: archive $version, header $header, version block $block"

# Under Wine, from the unpacked folder. The engine keeps its first error in the user's settings:
# cleared first, so the record read afterwards is this run's.
settings='HKCU\Software\Kavex\webcam'
wine reg delete "$settings" /v erd /f >/dev/null 2>&1 || true
def_names=$(def_exports "$host/engine.def" | wc -l)
(cd "$host" && timeout 120 wine ./kavex-host.exe --exports engine.def --duration 2 </dev/null) \
  >"$work/host.log" 2>&1 || fail "kavex-host.exe from the archive failed (exit $?)"
cat "$work/host.log"
grep -q "all $def_names exports of engine.def resolved" "$work/host.log" ||
  fail "kavex-host did not resolve all $def_names exports of engine.def"
grep -q 'cam0 open result -1 ' "$work/host.log" || fail "camera 0's open did not report -1"
record=$(wine reg query "$settings" /v erd 2>/dev/null | tr -d '\r' | awk '$1 == "erd" { print $3 }')
echo "error record after the open: ${record:-none}"
[[ $record == we:*:318 ]] || fail "no error record of the missing microphone (we:<tag>:318)"

# A host linked through each import library, beside the archive's DLL.
mingw_lib=/usr/$cross/lib
"$cross-gcc" -O2 -ffreestanding -nostdlib -I"$host/include" "$root/dist/link_host.c" \
  -e _link_host_start@0 -L"$host/lib" -lengine -lole32 -lkernel32 -o "$host/link-host-mingw.exe" ||
  fail "a host does not link against lib/libengine.dll.a"
clang --target=i686-pc-windows-msvc -ffreestanding -O1 -I"$host/include" \
  -c "$root/dist/link_host.c" -o "$work/link_host.obj"
lld-link -entry:link_host_start -subsystem:console -nodefaultlib -safeseh:no "$work/link_host.obj" \
  "$host/lib/engine.lib" "$mingw_lib/libole32.a" "$mingw_lib/libkernel32.a" -out:"$host/link-host-msvc.exe" ||
  fail "a host does not link against lib/engine.lib"
for flavour in mingw msvc; do
  [[ -f $host/link-host-$flavour.exe ]] || continue
  if (cd "$host" && timeout 120 wine "./link-host-$flavour.exe" </dev/null); then
    pass "host linked against the $flavour import library runs"
  else
    fail "host linked against the $flavour import library failed"
  fi
done

# The Microsoft import library by its symbols: every export under the name a Microsoft compiler
# gives its callers (cdecl _name, stdcall _name@N as exported), imported by the DLL's name.
symbols_msvc=$(llvm-nm "$host/lib/engine.lib" 2>/dev/null)
imports=$(llvm-readobj "$host/lib/engine.lib" 2>/dev/null)
missing=0
while read -r export; do
  symbol=_$export
  [[ $export == _*@* ]] && symbol=$export
  grep -qE " T __imp_${symbol//\?/\\?}\$" <<<"$symbols_msvc" || { echo "engine.lib lacks __imp_$symbol"; missing=1; }
done < <(def_exports "$host/engine.def")
# Decorated stdcall names are imported as they are, everything else without its underscore.
[[ $(grep -c 'Name type: name' <<<"$imports") -eq 7 ]] || { echo "engine.lib: not 7 stdcall imports by exact name"; missing=1; }
[[ $missing -eq 0 ]] && pass "engine.lib's symbols" || fail "engine.lib's symbols"

echo "release check: $failures failure(s)"
[[ $failures -eq 0 ]]
