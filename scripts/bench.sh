#!/usr/bin/env bash
# Builds the benchmark (Release) and runs it.
set -euo pipefail
# shellcheck source=common.sh
. "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/common.sh"

need_packages=()
command -v cmake >/dev/null || need_packages+=(cmake)
command -v g++ >/dev/null || need_packages+=(g++)
install_packages "${need_packages[@]}"
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs" --target pchol_bench
exec ./build/release/driver/pchol_bench
