#!/usr/bin/env bash
# Builds the benchmark (Release) and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v cmake >/dev/null || { apt-get update -qq && apt-get install -y --no-install-recommends cmake g++; }
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc 2>/dev/null || echo 2)" --target pchol_bench
exec ./build/release/driver/pchol_bench
