#!/usr/bin/env bash
# Builds the peer comparison and runs it: the parallel solver at every thread
# count against LAPACK's serial banded Cholesky on the benchmark's system.
#
#   scripts/compare.sh [--plot FILE.svg|FILE.png] [compare_lapack options]
#
# The options go to the program (scripts/compare.sh --help lists them; a lone
# number is the round count, default 9). --plot FILE also writes the JSON
# report beside FILE (FILE with .json) and draws time against thread count
# from it with gnuplot. Installs what is missing (LAPACK, CMake, a compiler,
# gnuplot for --plot) with apt-get, which needs root. Runs from any folder;
# relative paths are taken from the folder it is called from.
set -euo pipefail
script=$(readlink -f -- "${BASH_SOURCE[0]}")
root=$(cd -- "$(dirname -- "$script")/.." && pwd)

plot=""
args=()
while [ $# -gt 0 ]; do
  case $1 in
    --plot) [ $# -ge 2 ] || { echo "compare.sh: --plot needs a file name" >&2; exit 2; }
            plot=$2; shift 2 ;;
    --plot=*) plot=${1#--plot=}; shift ;;
    *) args+=("$1"); shift ;;
  esac
done

need_packages=()
have_lapack() {
  local dir
  for dir in /usr/lib/*-linux-gnu /usr/lib64 /usr/lib; do
    [ -e "$dir/liblapack.so" ] && return 0
  done
  return 1
}
have_lapack || need_packages+=(liblapack-dev)
command -v cmake >/dev/null || need_packages+=(cmake)
command -v g++ >/dev/null || need_packages+=(g++)
command -v make >/dev/null || command -v ninja >/dev/null || need_packages+=(make)
if [ -n "$plot" ]; then
  command -v gnuplot >/dev/null || need_packages+=(gnuplot-nox)
fi
if [ ${#need_packages[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "compare.sh: missing ${need_packages[*]}; installing needs root. Run as root, or first:" >&2
    echo "  sudo apt-get install -y --no-install-recommends ${need_packages[*]}" >&2
    exit 1
  fi
  echo "== installing ${need_packages[*]}" >&2
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${need_packages[@]}"
fi

# The build is the bench preset's, configured in the checkout; the program
# runs in the caller's folder so that --output and --json land there.
(
  cd "$root"
  cmake --preset bench >/dev/null
  cmake --build --preset bench -j "$(nproc 2>/dev/null || echo 2)" --target compare_lapack
) >&2
program="$root/build/bench/bench/compare/compare_lapack"

if [ -z "$plot" ]; then
  exec "$program" ${args[@]+"${args[@]}"}
fi
json="${plot%.*}.json"
"$program" ${args[@]+"${args[@]}"} --json "$json"
cmake -DJSON="$json" -DPLOT="$plot" -P "$root/scripts/plot-compare.cmake" >&2
echo "compare.sh: report in $json, plot in $plot" >&2
