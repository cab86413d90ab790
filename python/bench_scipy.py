"""Times pchol.solveh_banded against scipy.linalg.solveh_banded.

The system is the benchmark's (2,000,000 equations, half bandwidth 8: the
band of U.T @ U with U's entry (r, c) = 1 + (c mod 8), its diagonal times 10,
an exact solution of pseudo-random numbers in (0, 1] and b = A @ x), in
single precision and the same numbers in double precision. The contenders
take turns, each round calling every one once on fresh copies of the same
arrays with default arguments (so each copies ab and b as SciPy does), plus
pchol on its own layout with the overwrite flags (no copy). Prints the
median and the minimum time, the largest error against the exact solution,
and SciPy's median over the contender's (above 1: faster than SciPy).

    PYTHONPATH=build/release/python /usr/bin/python3 python/bench_scipy.py [--rounds 5] [--n 2000000]
"""

import argparse
import os
import platform
import statistics
import time

import numpy as np
import scipy
import scipy.linalg

import pchol


def exact_solution(n):
    """The benchmark's pseudo-random numbers: a combined multiplicative
    congruential generator, z * 2^-31 for z in [1, 2147483562]."""
    s1, s2 = 12345678, 87654321
    out = np.empty(n)
    for i in range(n):
        k = s1 // 53668
        s1 = 40014 * (s1 - k * 53668) - 12211 * k
        if s1 < 0:
            s1 += 2147483563
        k = s2 // 52774
        s2 = 40692 * (s2 - k * 52774) - 3791 * k
        if s2 < 0:
            s2 += 2147483399
        z = s1 - s2
        if z <= 0:
            z += 2147483562
        out[i] = z * 2.0**-31
    return out


def test_system(n, hbw):
    """rows (n, hbw + 1): row r holds A[r, r] ... A[r, r + hbw] (SciPy's lower
    form is rows.T); x the exact solution; b = A @ x in double precision."""
    # U[l, c] = 1 + (c mod hbw) for c - hbw <= l <= c, so
    # A[c, i] = (c - max(0, i - hbw) + 1) (1 + c mod hbw) (1 + i mod hbw), c <= i.
    rows = np.zeros((n, hbw + 1))
    c = np.arange(n)
    for k in range(hbw + 1):
        i = c[: n - k] + k
        first = np.maximum(0, i - hbw)
        rows[: n - k, k] = (c[: n - k] - first + 1) * (1 + c[: n - k] % hbw) * (1 + i % hbw)
    rows[:, 0] *= 10
    x = exact_solution(n).astype(np.float32).astype(np.float64)
    b = rows[:, 0] * x
    for k in range(1, hbw + 1):
        b[: n - k] += rows[: n - k, k] * x[k:]
        b[k:] += rows[: n - k, k] * x[: n - k]
    return rows, x, b


def lapack_library():
    try:
        with open("/proc/self/maps") as maps:
            names = {line.split()[-1] for line in maps if "lapack" in line or "blas" in line}
            names = {p for p in names if os.path.basename(p).startswith("lib")}
        return ", ".join(sorted(os.path.basename(p) for p in names if p.startswith("/")))
    except OSError:
        return "unknown"


def processor_name():
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--n", type=int, default=2_000_000)
    parser.add_argument("--hbw", type=int, default=8)
    args = parser.parse_args()

    rows64, x_exact, b64 = test_system(args.n, args.hbw)
    processors = min(len(os.sched_getaffinity(0)), 32)
    print(f"System: n = {args.n}, half bandwidth {args.hbw}; {args.rounds} rounds, contenders alternating")
    print(f"Processor: {processor_name()}, {processors} available; load {os.getloadavg()}")
    print(f"pchol {pchol.__version__}, NumPy {np.__version__}, SciPy {scipy.__version__}")

    for dtype in (np.float32, np.float64):
        rows0 = rows64.astype(dtype)
        ab0 = rows0.T  # SciPy's lower form
        b0 = b64.astype(np.float32).astype(dtype)  # the benchmark's single-precision b
        contenders = [("scipy.linalg.solveh_banded", lambda ab, b: scipy.linalg.solveh_banded(ab, b, lower=True))]
        for method in ("bcr", "pipelined"):
            for t in range(1, processors + 1):
                contenders.append(
                    (f"pchol {method}, {t} thread{'s' if t > 1 else ''}",
                     lambda ab, b, t=t, m=method: pchol.solveh_banded(ab, b, lower=True, threads=t, method=m)))
        contenders.append(
            (f"pchol bcr, {processors} threads, no copies",
             lambda ab, b: pchol.solveh_banded(ab, b, lower=True, threads=processors,
                                               overwrite_ab=True, overwrite_b=True)))

        times = {name: [] for name, _ in contenders}
        errors = {}
        for _ in range(args.rounds):
            for name, solve in contenders:
                ab, b = np.array(ab0, order="F"), b0.copy()
                start = time.perf_counter()
                x = solve(ab, b)
                times[name].append(time.perf_counter() - start)
                errors[name] = float(np.abs(x.astype(np.float64) - x_exact).max())
        print(f"\n{np.dtype(dtype).name} (SciPy's LAPACK: {lapack_library()})")
        print(f"  {'contender':38} {'median s':>9} {'min s':>9} {'max error':>10} {'SciPy/this':>10}")
        base = statistics.median(times[contenders[0][0]])
        for name, _ in contenders:
            median = statistics.median(times[name])
            print(f"  {name:38} {median:9.4f} {min(times[name]):9.4f} {errors[name]:10.2e} {base / median:10.2f}")


if __name__ == "__main__":
    main()
