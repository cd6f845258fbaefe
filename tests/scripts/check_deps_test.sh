#!/usr/bin/env bash
# scripts/check-deps must pass with the full package list and name the missing package, with
# the file that needed it, when the list lacks one: a check that cannot fail proves nothing.
# Usage: check_deps_test.sh SOURCE_DIR BUILD_DIR
set -uo pipefail
src=$1 build=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail=0
expect() {  # expect WHAT CONDITION...
  local what=$1; shift
  if ! "$@"; then
    echo "FAIL: $what; check-deps said:"
    head -c 2000 "$tmp/out" "$tmp/err"
    fail=1
  fi
}

"$src/scripts/check-deps" "$build" > "$tmp/out" 2> "$tmp/err"
rc=$?
expect "passes with scripts/packages.txt" test $rc -eq 0
expect "says so" grep -q "come from scripts/packages.txt" "$tmp/out"

# Qt Charts' CMake files need the OpenGL development package (found through a *_DIR entry).
grep -vx libqt6opengl6-dev "$src/scripts/packages.txt" > "$tmp/list"
"$src/scripts/check-deps" --packages "$tmp/list" "$build" > "$tmp/out" 2> "$tmp/err"
rc=$?
expect "fails without libqt6opengl6-dev" test $rc -eq 1
expect "says to add libqt6opengl6-dev" \
  grep -q "add libqt6opengl6-dev to scripts/packages.txt" "$tmp/err"
expect "names the file" grep -q "/cmake/Qt6OpenGL/Qt6OpenGLConfig.cmake" "$tmp/err"

# jsoncpp is used through headers and a library only.
grep -vx libjsoncpp-dev "$src/scripts/packages.txt" > "$tmp/list"
"$src/scripts/check-deps" --packages "$tmp/list" "$build" > "$tmp/out" 2> "$tmp/err"
rc=$?
expect "fails without libjsoncpp-dev" test $rc -eq 1
expect "names a jsoncpp header" grep -q "/usr/include/jsoncpp/json/.*header read by the compiler" "$tmp/err"

[ $fail = 0 ] && echo "check-deps passes and fails as it should"
exit $fail
