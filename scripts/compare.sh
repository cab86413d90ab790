#!/usr/bin/env bash
# Builds the peer comparison and runs it: the parallel solver at every thread
# count against LAPACK's serial banded Cholesky on the benchmark's system.
# Extra arguments go to the program (the number of rounds, default 9).
set -euo pipefail
cd "$(dirname "$0")/.."
if ! ls /usr/lib/*/liblapack.so >/dev/null 2>&1 && ! ls /usr/lib/liblapack.so >/dev/null 2>&1; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends liblapack-dev
fi
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$(nproc 2>/dev/null || echo 2)" --target compare_lapack
exec ./build/bench/bench/compare_lapack "$@"
