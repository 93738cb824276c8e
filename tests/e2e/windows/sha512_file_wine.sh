#!/usr/bin/env bash
# sha512_file of the Windows build against sha512sum on Linux: a 1 GiB file
# of random bytes is digested by sha512sum here, then the cross-built
# test_sha512.exe runs under Wine with the file's Windows path (Z:\...) in
# SHA512_CHECK_FILE and sha512sum's hex in SHA512_CHECK_HEX, so its
# Sha512FileLarge case reads the file with sha512_file and compares. Prints
# one line per check and "N passed, M failed".
#
#   WINDOWS_BUILD_DIR=build-windows tests/e2e/windows/sha512_file_wine.sh
set -uo pipefail

# shellcheck source=tests/e2e/lib.sh
. "$(dirname "$0")/../lib.sh"

windows_build=${WINDOWS_BUILD_DIR:-$top/build-windows}
exe=$windows_build/tests/test_sha512.exe

check "the Windows test is built: $exe" test -f "$exe"
[ -f "$exe" ] || finish

head -c 1073741824 /dev/urandom >"$work/large"
hex=$(sha512sum "$work/large" | cut -c1-128)
windows_path="Z:$(printf '%s' "$work/large" | tr / '\\')"

# A skipped case exits 0 too: the output must show the case passed.
out=$(SHA512_CHECK_FILE="$windows_path" SHA512_CHECK_HEX="$hex" \
  WINEPREFIX="$windows_build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
  wine "$exe" --gtest_filter='Sha512FileLarge.*' 2>&1)
status=$?
check "test_sha512.exe exits 0 (sha512_file equals sha512sum $hex)" test "$status" -eq 0
check "the 1 GiB case ran and passed, not skipped" grep -q '^\[       OK \] Sha512FileLarge' <<<"$out"
[ "$status" -eq 0 ] || printf '%s\n' "$out" >&2
finish
