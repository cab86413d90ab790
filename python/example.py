"""Solve a banded symmetric positive-definite system with pchol.

    PYTHONPATH=build/release/python /usr/bin/python3 python/example.py
"""

import numpy as np

import pchol

n, u = 100_000, 2
# A = 6 on the diagonal, -2 on the first and 1 on the second off-diagonal
# (positive definite: its symbol 6 - 4 cos t + 2 cos 2t is above 0), in
# SciPy's lower form: ab[i - j, j] = A[i, j].
ab = np.empty((u + 1, n))
ab[0], ab[1], ab[2] = 6.0, -2.0, 1.0
x_true = np.linspace(0.0, 1.0, n)
b = 6.0 * x_true
b[1:] += -2.0 * x_true[:-1]
b[:-1] += -2.0 * x_true[1:]
b[2:] += x_true[:-2]
b[:-2] += x_true[2:]

x = pchol.solveh_banded(ab, b, lower=True)
error = np.abs(x - x_true).max()
print(f"pchol {pchol.__version__}: {n} equations on {pchol.get_threads()} threads, largest error {error:.1e}")
if error > 1e-10:
    raise SystemExit("the solution is wrong")
