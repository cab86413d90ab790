#!/usr/bin/env bash
# Builds and runs every test suite: first under AddressSanitizer with
# UndefinedBehaviorSanitizer, then the threading and solver suites under
# ThreadSanitizer, then the cross-built Windows suites under wine (when the
# Windows script is present), and last the normal optimised build, whose
# CTest summary ends the output.
#
# PCHOL_SKIP_SANITIZERS and PCHOL_SKIP_WINDOWS (1, yes, true or on, in any
# case) leave the sanitizer runs or the Windows run out.
set -euo pipefail
# shellcheck source=common.sh
. "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/common.sh"

need_packages=()
[ -f /usr/include/gtest/gtest.h ] || need_packages+=(libgtest-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need_packages+=(libbenchmark-dev)
command -v cmake >/dev/null || need_packages+=(cmake)
command -v g++ >/dev/null || need_packages+=(g++)
# The library tests build the examples against the installed package.
command -v gfortran >/dev/null || need_packages+=(gfortran)
command -v pkg-config >/dev/null || need_packages+=(pkgconf)
# The comparison program's tests run it against LAPACK and draw its plot.
compgen -G "/usr/lib/*/liblapack.so" >/dev/null || [ -e /usr/lib/liblapack.so ] || need_packages+=(liblapack-dev)
command -v gnuplot >/dev/null || need_packages+=(gnuplot-nox)
# The Python module and its tests, for Debian's interpreter.
[ -f /usr/include/pybind11/pybind11.h ] || need_packages+=(pybind11-dev)
for pkg in python3-dev python3-numpy python3-scipy python3-pytest; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' || need_packages+=("$pkg")
done
install_packages "${need_packages[@]}"

run_preset() {
  local preset=$1; shift
  echo "== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== $preset tests"
  ctest --preset "$preset" "$@"
}

if ! is_true "${PCHOL_SKIP_SANITIZERS:-0}"; then
  run_preset asan
  run_preset tsan -L 'threads|solver'
fi

if [ -x scripts/test-windows.sh ] && ! is_true "${PCHOL_SKIP_WINDOWS:-0}"; then
  scripts/test-windows.sh
fi

run_preset test
