#!/usr/bin/env bash
# The static-analysis gate: clang-tidy (the checks of .clang-tidy) and cppcheck over src/, as the
# given build compiles it (its compile_commands.json), with zero findings. A finding that is wrong
# is suppressed at its line, with the reason: NOLINT(<check>) for clang-tidy, and
# cppcheck-suppress <id> for cppcheck.
#   check_static_analysis.sh BUILD_DIR
# The Windows build's commands name the cross compiler, whose headers clang is pointed at here.
set -uo pipefail
build=$(cd "${1:?usage: check_static_analysis.sh BUILD_DIR}" && pwd)
top=$(cd "$(dirname "$0")/../.." && pwd)
db=$build/compile_commands.json
out=$build/static-analysis
[[ -f $db ]] || { echo "static analysis: no $db (configure the build first)" >&2; exit 1; }
tidy=$(command -v run-clang-tidy || command -v run-clang-tidy-14) ||
  { echo "static analysis: run-clang-tidy is missing (make setup installs clang-tidy)" >&2; exit 1; }
command -v cppcheck >/dev/null || { echo "static analysis: cppcheck is missing (make setup installs it)" >&2; exit 1; }
mkdir -p "$out"

extra=()
defines=()
if grep -q 'mingw32' "$db"; then
  gcc_dir=$(ls -d /usr/lib/gcc/i686-w64-mingw32/*-posix 2>/dev/null | head -n 1)
  extra=(-extra-arg-before=--target=i686-w64-mingw32
    "-extra-arg=-isystem$gcc_dir/include/c++" "-extra-arg=-isystem$gcc_dir/include/c++/i686-w64-mingw32"
    "-extra-arg=-isystem$gcc_dir/include/c++/backward" -extra-arg=-isystem/usr/i686-w64-mingw32/include)
  defines=(-D_WIN32 -D__MINGW32__ --platform=win32A)
fi

status=0
"$tidy" -p "$build" -j 2 -quiet "${extra[@]}" "^$top/src/" >"$out/clang-tidy.log" 2>&1
# One line per finding in our code (a header's finding is reported once per file that includes it).
sed 's/\x1b\[[0-9;]*m//g' "$out/clang-tidy.log" | grep -E '^/[^ ]+:[0-9]+:[0-9]+: (warning|error):' |
  sed -E "s#$build/src/include-roots/[a-z]+/#src/#; s#$top/##" | sort -u >"$out/clang-tidy-findings.txt"
if [[ -s $out/clang-tidy-findings.txt ]]; then
  echo "clang-tidy: $(wc -l <"$out/clang-tidy-findings.txt") findings ($out/clang-tidy.log):"
  cat "$out/clang-tidy-findings.txt"
  status=1
fi

cppcheck --project="$db" --file-filter="$top/src/*" -j 2 -q --inline-suppr --error-exitcode=1 \
  --enable=warning,performance,portability --std=c++17 -D__STDC_CONSTANT_MACROS "${defines[@]}" \
  --suppress=missingIncludeSystem --suppress=unmatchedSuppression "--suppress=*:${KAVEX_CACHE:-/var/cache/kavex-engine}/*" \
  --template='{file}:{line}: {severity}: {message} [{id}]' 2>"$out/cppcheck.log"
if [[ $? -ne 0 || -s $out/cppcheck.log ]]; then
  echo "cppcheck: findings ($out/cppcheck.log):"
  cat "$out/cppcheck.log"
  status=1
fi
[[ $status -eq 0 ]] && echo "static analysis: no findings in $(grep -c '"file"' "$db") compiled files"
exit $status
