#!/usr/bin/env bash
# Cross-builds the project for Windows with MinGW-w64 and runs every test
# suite under wine, heavy cases scaled down (PCHOL_TEST_SCALE=small). It
# checks correctness only: under wine each kernel-object call costs tens of
# microseconds, so no timing it shows means anything.
#
# One wine server runs for the whole test run, in a fresh wine prefix inside
# the build folder; every test process attaches to it instead of starting
# its own, which makes the run about three times faster.
set -euo pipefail
# shellcheck source=common.sh
. "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/common.sh"
started=$(date +%s)

need_packages=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need_packages+=(g++-mingw-w64-x86-64-posix)
[ -x /usr/lib/wine/wine64 ] || need_packages+=(wine64)
[ -f /usr/src/googletest/CMakeLists.txt ] || need_packages+=(googletest)
command -v cmake >/dev/null || need_packages+=(cmake)
install_packages "${need_packages[@]}"

echo "== windows build"
cmake --preset windows >/dev/null
# A suite that does not build for Windows must not hide the results of the
# others: build what builds, run it, and fail at the end.
build_status=0
keep_going=()
[ -f build/windows/Makefile ] && keep_going=(-- -k)
cmake --build --preset windows -j "$jobs" "${keep_going[@]}" || build_status=$?

# The same prefix as the windows test preset gives the tests.
export WINEPREFIX="$PWD/build/windows/wine-prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
wineserver=/usr/lib/wine/wineserver64
[ -x "$wineserver" ] || wineserver=/usr/lib/wine/wineserver
log=build/windows/wine-server.log

rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
# The server and the helper processes that wineboot starts write to the log,
# so that none of them holds this script's output open.
"$wineserver" -p >"$log" 2>&1
trap '"$wineserver" -k >>"$log" 2>&1 || true' EXIT
booted=$(date +%s)
# wineboot may report the missing 32-bit half of wine; the tests show
# whether the prefix works.
/usr/lib/wine/wine64 wineboot -i >>"$log" 2>&1 || echo "(wineboot -i exited with $?; see $log)"
echo "== wine prefix ready in $(( $(date +%s) - booted )) s"

echo "== windows tests (under wine)"
tests_started=$(date +%s)
test_status=0
ctest --preset windows "$@" || test_status=$?
now=$(date +%s)
echo "== windows: tests under wine took $(( now - tests_started )) s; build, wine start and tests $(( now - started )) s"
if [ "$build_status" != 0 ]; then
  echo "== windows: the build failed (status $build_status); see the compiler messages above"
  exit "$build_status"
fi
exit "$test_status"
