#!/usr/bin/env bash
# Runs one cross-built Windows program under wine: CTest's emulator for the
# windows build (the toolchain file names it), usable by hand as well:
#   scripts/wine-run.sh build/windows/tests/platform/platform_tests.exe
#
# The wine prefix is the one in WINEPREFIX when the caller set it (the test
# script sets a fresh one and keeps one wine server running in it for the
# whole run); otherwise a prefix of this user's under the temporary folder,
# created on first use. A wine server kept running (wineserver -p) must have
# been booted (wineboot -i) with its output sent elsewhere before the first
# program runs through this script: otherwise wine's background services
# keep that program's output open and CTest waits for it to close.
set -euo pipefail

export WINEPREFIX="${WINEPREFIX:-${TMPDIR:-/tmp}/pchol-wine-$(id -u)}"
export WINEDEBUG=-all
# No .NET runtime, no HTML engine, no desktop menu entries: none is needed by
# a console program, and wine would otherwise offer to install them.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

exec /usr/lib/wine/wine64 "$@"
