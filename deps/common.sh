# shellcheck shell=bash
# Shared machinery for the third-party library builds in this folder. Source it, don't run it.
#
# A library script sets the DEPS_* variables below, defines deps_build_steps (and optionally
# deps_check_install), then calls deps_main. deps_main prints the install prefix on stdout and
# nothing else; progress goes to stderr and the full build output to a log file.
#
#   DEPS_NAME          short name, used for the prefix, log and lock file names
#   DEPS_SRCPKG        Debian source package name
#   DEPS_DEBVER        exact Debian version (with epoch if it has one)
#   DEPS_DSC_SHA256    sha256 of the .dsc
#   DEPS_ORIG          file name of the upstream tarball
#   DEPS_ORIG_SHA256   sha256 of the upstream tarball
#
# Cache layout under $KAVEX_CACHE:
#   src/                      downloaded Debian source files (kept, verified on every build)
#   build/<name>-<ver>/       scratch tree, removed after a successful build
#   logs/<name>-<ver>.log     output of the last build of that library
#   locks/<name>.lock         serialises concurrent builds of the same library
#   deps/<name>-<ver>-<host>/ install prefix; holds .complete once the build has fully finished

KAVEX_CACHE="${KAVEX_CACHE:-/var/cache/kavex-engine}"
DEPS_HOST=i686-w64-mingw32
DEPS_CC="${DEPS_HOST}-gcc-posix"
DEPS_CXX="${DEPS_HOST}-g++-posix"
# shellcheck disable=SC2034  # used by the library scripts
DEPS_JOBS=2
DEPS_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

# Keep the caller's environment from leaking into the cross builds.
unset CFLAGS CXXFLAGS CPPFLAGS LDFLAGS LIBS CC CXX AR RANLIB NM STRIP \
      PKG_CONFIG PKG_CONFIG_PATH PKG_CONFIG_LIBDIR PKG_CONFIG_SYSROOT_DIR \
      MAKEFLAGS MFLAGS MAKELEVEL CONFIG_SITE
export LC_ALL=C

deps_log() { printf '[deps] %s\n' "$*" >&2; }

deps_die() {
  printf '[deps] ERROR: %s\n' "$*" >&2
  exit 1
}

# Prints the end of the build log and stops.
deps_fail_with_log() {
  printf '[deps] ERROR: %s\n' "$1" >&2
  if [[ -n ${DEPS_LOG:-} && -f $DEPS_LOG ]]; then
    printf '[deps] ---- last 60 lines of %s ----\n' "$DEPS_LOG" >&2
    tail -n 60 "$DEPS_LOG" >&2
    printf '[deps] ---- end of log; the build tree is kept in %s ----\n' "${DEPS_WORK:-?}" >&2
  fi
  exit 1
}

# Runs a command with its output appended to the build log; any failure ends the build.
deps_run() {
  printf '\n+ %s\n' "$*" >>"$DEPS_LOG"
  if ! "$@" >>"$DEPS_LOG" 2>&1; then
    deps_fail_with_log "command failed (in $PWD): $*"
  fi
}

deps_require_tools() {
  local t missing=()
  for t in "$@"; do
    command -v "$t" >/dev/null 2>&1 || missing+=("$t")
  done
  if ((${#missing[@]})); then
    deps_die "missing tools: ${missing[*]} (scripts/setup-host.sh installs them)"
  fi
}

# 7:5.1.9-0+deb12u1 -> 5.1.9
deps_upstream_version() {
  local v=${1#*:}
  printf '%s\n' "${v%-*}"
}

# Debian file names drop the epoch.
deps_dsc_name() {
  printf '%s_%s.dsc\n' "$DEPS_SRCPKG" "${DEPS_DEBVER#*:}"
}

deps_sha256() { sha256sum "$1" | cut -d' ' -f1; }

# deps_verify FILE EXPECTED_SHA256
deps_verify() {
  local file=$1 want=$2 got
  [[ -f $file ]] || deps_die "missing source file $file"
  got=$(deps_sha256 "$file")
  if [[ $got != "$want" ]]; then
    printf '[deps] ERROR: checksum mismatch for %s\n' "$file" >&2
    printf '[deps]   expected sha256 %s\n' "$want" >&2
    printf '[deps]   actual   sha256 %s\n' "$got" >&2
    printf '[deps] The file is corrupt or not the pinned release. Delete it to download it again;\n' >&2
    printf '[deps] if a fresh download still mismatches, do not build with it.\n' >&2
    exit 1
  fi
}

# Lists "sha256 name" for every file a .dsc references.
deps_dsc_files() {
  awk '/^Checksums-Sha256:/ {on = 1; next}
       on && /^ / {print $1, $3; next}
       on {on = 0}' "$1"
}

# Checks the pinned .dsc and tarball, then every other file against the sums in the .dsc.
deps_verify_sources() {
  local dir=$1 dsc sum name n=0
  dsc="$dir/$(deps_dsc_name)"
  deps_verify "$dsc" "$DEPS_DSC_SHA256"
  deps_verify "$dir/$DEPS_ORIG" "$DEPS_ORIG_SHA256"
  while read -r sum name; do
    deps_verify "$dir/$name" "$sum"
    n=$((n + 1))
  done < <(deps_dsc_files "$dsc")
  ((n > 0)) || deps_die "$dsc lists no files; it is not a usable source description"
  grep -q " $DEPS_ORIG\$" <(deps_dsc_files "$dsc") ||
    deps_die "$dsc does not reference $DEPS_ORIG"
}

# True when the .dsc and every file it names are already in the source cache.
deps_sources_present() {
  local dir=$1 dsc sum name
  dsc="$dir/$(deps_dsc_name)"
  [[ -f $dsc && -f $dir/$DEPS_ORIG ]] || return 1
  while read -r sum name; do
    [[ -f $dir/$name ]] || return 1
  done < <(deps_dsc_files "$dsc")
}

# Downloads the pinned source package into $KAVEX_CACHE/src unless it is already there.
# Files are fetched into a private directory and only moved into the cache once verified,
# so an interrupted or tampered download never lands in src/.
deps_fetch() {
  local src="$KAVEX_CACHE/src" tmp dsc sum name
  if deps_sources_present "$src"; then
    deps_verify_sources "$src"
    return 0
  fi
  deps_require_tools apt-get
  deps_log "$DEPS_NAME: downloading Debian source $DEPS_SRCPKG=$DEPS_DEBVER"
  tmp=$(mktemp -d "$src/.incoming.XXXXXX")
  printf '\n+ apt-get source --download-only %s=%s\n' "$DEPS_SRCPKG" "$DEPS_DEBVER" >>"$DEPS_LOG"
  if ! (cd "$tmp" && timeout 900 apt-get source --download-only "$DEPS_SRCPKG=$DEPS_DEBVER") \
      >>"$DEPS_LOG" 2>&1; then
    rm -rf "$tmp"
    deps_fail_with_log "could not download $DEPS_SRCPKG=$DEPS_DEBVER. It needs deb-src entries and a
fresh package index (scripts/setup-host.sh, then apt-get update); the archive keeps only
current versions, so a superseded pin has to be moved to the version the archive now offers."
  fi
  deps_verify_sources "$tmp"
  dsc=$(deps_dsc_name)
  while read -r sum name; do
    mv -f "$tmp/$name" "$src/$name"
  done < <(deps_dsc_files "$tmp/$dsc")
  mv -f "$tmp/$dsc" "$src/$dsc"   # last: its presence marks a complete set
  rm -rf "$tmp"
}

# What a finished build depends on: the pinned source, this file, the library's script and the
# cross toolchain. A stamp written under a different key is stale and the library is rebuilt.
deps_build_key() {
  local toolchain
  toolchain=$(dpkg-query -W -f '${Package}=${Version} ' \
      gcc-mingw-w64-i686-posix g++-mingw-w64-i686-posix mingw-w64-i686-dev \
      binutils-mingw-w64-i686 2>/dev/null || true)
  printf 'name=%s\n' "$DEPS_NAME"
  printf 'source=%s=%s dsc-sha256=%s\n' "$DEPS_SRCPKG" "$DEPS_DEBVER" "$DEPS_DSC_SHA256"
  printf 'recipe=%s\n' "$DEPS_RECIPE_SHA256"
  printf 'toolchain=%s\n' "$toolchain"
}

deps_is_complete() {
  local stamp="$1/.complete"
  [[ -f $stamp ]] || return 1
  [[ $(grep -v '^built=' "$stamp") == "$(deps_build_key)" ]] && return 0
  deps_log "$DEPS_NAME: cached build in $1 was made from a different recipe or toolchain; rebuilding"
  return 1
}

# Fails if any static library in the prefix needs a runtime we must not drag into the DLL:
# libssp (stack protector / fortify) or winpthreads.
deps_check_runtime_refs() {
  local prefix=$1 lib bad
  for lib in "$prefix"/lib/*.a; do
    [[ -f $lib ]] || continue
    bad=$("$DEPS_HOST-nm" -u "$lib" 2>/dev/null |
      grep -E ' _+(stack_chk_(fail|guard)|[a-z]+_chk|pthread_[a-z_]+)$' | sort -u | head -n 5 || true)
    if [[ -n $bad ]]; then
      deps_fail_with_log "$lib references runtime symbols that pull in extra DLLs:
$bad"
    fi
  done
  if [[ -n $(find "$prefix" \( -iname '*.dll' -o -iname '*.dll.a' \) -print -quit) ]]; then
    deps_fail_with_log "$prefix contains DLLs or import libraries; only static libraries belong there"
  fi
}

# deps_main SCRIPT_PATH: the whole cached build, from lock to stamp.
deps_main() {
  local v var prefix stamp
  DEPS_SCRIPT="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
  DEPS_RECIPE_SHA256=$(cat "$DEPS_DIR/common.sh" "$DEPS_SCRIPT" | sha256sum | cut -d' ' -f1) ||
    deps_die "cannot read $DEPS_SCRIPT"
  for var in DEPS_NAME DEPS_SRCPKG DEPS_DEBVER DEPS_DSC_SHA256 DEPS_ORIG DEPS_ORIG_SHA256; do
    [[ -n ${!var:-} ]] || deps_die "$DEPS_SCRIPT does not set $var"
  done
  declare -F deps_build_steps >/dev/null || deps_die "$DEPS_SCRIPT does not define deps_build_steps"

  v=$(deps_upstream_version "$DEPS_DEBVER")
  prefix="$KAVEX_CACHE/deps/$DEPS_NAME-$v-$DEPS_HOST"
  stamp="$prefix/.complete"

  if ! mkdir -p "$KAVEX_CACHE"/{src,build,logs,locks,deps} 2>/dev/null || [[ ! -w $KAVEX_CACHE ]]; then
    deps_die "cache $KAVEX_CACHE is not writable; run as root or point KAVEX_CACHE elsewhere"
  fi

  # One build of a library at a time; a second caller waits and then finds the stamp.
  exec 9>"$KAVEX_CACHE/locks/$DEPS_NAME.lock"
  if ! flock -n 9; then
    deps_log "$DEPS_NAME: another build holds $KAVEX_CACHE/locks/$DEPS_NAME.lock; waiting (up to 2 h)"
    flock -w 7200 9 || deps_die "$DEPS_NAME: timed out waiting for the build lock"
  fi

  if deps_is_complete "$prefix"; then
    deps_log "$DEPS_NAME $v: up to date ($prefix)"
    printf '%s\n' "$prefix"
    return 0
  fi

  deps_require_tools "$DEPS_CC" "$DEPS_CXX" "$DEPS_HOST-nm" dpkg-source make sha256sum flock
  DEPS_LOG="$KAVEX_CACHE/logs/$DEPS_NAME-$v.log"
  DEPS_WORK="$KAVEX_CACHE/build/$DEPS_NAME-$v"
  : >"$DEPS_LOG"
  deps_log "$DEPS_NAME $v: building for $DEPS_HOST (log: $DEPS_LOG)"

  deps_fetch

  rm -rf "$prefix" "$DEPS_WORK"
  mkdir -p "$DEPS_WORK"
  deps_run dpkg-source --no-copy -x "$KAVEX_CACHE/src/$(deps_dsc_name)" "$DEPS_WORK/src"

  local started=$SECONDS
  cd "$DEPS_WORK/src" || deps_die "cannot enter $DEPS_WORK/src"
  deps_build_steps "$DEPS_WORK/src" "$prefix"
  cd "$KAVEX_CACHE" || deps_die "cannot enter $KAVEX_CACHE"

  find "$prefix" -name '*.la' -delete 2>/dev/null || true
  deps_check_runtime_refs "$prefix"
  if declare -F deps_check_install >/dev/null; then
    deps_check_install "$prefix"
  fi

  { deps_build_key; printf 'built=%s\n' "$(date -u +%Y-%m-%dT%H:%M:%SZ)"; } >"$stamp.tmp"
  mv -f "$stamp.tmp" "$stamp"
  rm -rf "$DEPS_WORK"
  deps_log "$DEPS_NAME $v: done in $((SECONDS - started)) s -> $prefix"
  printf '%s\n' "$prefix"
}
