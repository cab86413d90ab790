import os
import pathlib
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
import scipy.linalg

import pchol

DTYPES = [np.float32, np.float64, np.complex64, np.complex128]
COMPLEX = [np.complex64, np.complex128]


def tolerance(dtype):
    return 2e-4 if np.dtype(dtype) in (np.float32, np.complex64) else 1e-11


def lower_band(n, u, dtype, rng, complex_entries=False):
    """A diagonally dominant (so positive-definite) band in SciPy's lower form."""
    ab = rng.uniform(-1, 1, (u + 1, n))
    if complex_entries:
        ab = ab + 1j * rng.uniform(-1, 1, (u + 1, n))
    ab[0] = 2 * u + 1 + rng.uniform(0, 1, n)
    for k in range(1, u + 1):
        ab[k, n - k :] = 0
    return ab.astype(dtype)


def upper_from_lower(ab):
    """The same matrix in SciPy's upper form: upper[u - k, j] = lower[k, j - k]."""
    u = ab.shape[0] - 1
    upper = np.zeros_like(ab)
    for k in range(min(u, ab.shape[1] - 1) + 1):
        upper[u - k, k:] = ab[k, : ab.shape[1] - k]
    return upper


def dense_symmetric(ab):
    """The full matrix of a lower-form band, A[i, j] = A[j, i] unconjugated."""
    u, n = ab.shape[0] - 1, ab.shape[1]
    a = np.zeros((n, n), dtype=ab.dtype)
    for k in range(u + 1):
        idx = np.arange(n - k)
        a[idx + k, idx] = ab[k, : n - k]
        a[idx, idx + k] = ab[k, : n - k]
    return a


def rhs(n, ndim, dtype, rng):
    shape = (n,) if ndim == 1 else (n, 3)
    b = rng.uniform(-1, 1, shape)
    if np.dtype(dtype).kind == "c":
        b = b + 1j * rng.uniform(-1, 1, shape)
    return b.astype(dtype)


def data_pointer(a):
    return a.__array_interface__["data"][0]


# ---- results against SciPy ----------------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("lower", [False, True])
@pytest.mark.parametrize("b_ndim", [1, 2])
@pytest.mark.parametrize("threads", [1, 2, 3, 4])
@pytest.mark.parametrize("method", ["bcr", "pipelined"])
def test_matches_scipy(dtype, lower, b_ndim, threads, method):
    # Complex input here is real-valued in A, where SciPy's Hermitian reading
    # and the solver's symmetric one are the same matrix.
    rng = np.random.default_rng(17)
    n, u = 1200, 5
    ab = lower_band(n, u, dtype, rng)
    if not lower:
        ab = upper_from_lower(ab)
    b = rhs(n, b_ndim, dtype, rng)
    ab_before, b_before = ab.copy(), b.copy()

    x = pchol.solveh_banded(ab, b, lower=lower, threads=threads, method=method)
    expected = scipy.linalg.solveh_banded(ab, b, lower=lower)

    assert x.dtype == dtype and x.shape == b.shape
    scale = np.abs(expected).max()
    assert np.abs(x - expected).max() <= tolerance(dtype) * scale
    # Without the overwrite flags the inputs are left as they were.
    assert np.array_equal(ab, ab_before) and np.array_equal(b, b_before)


@pytest.mark.parametrize("dtype", COMPLEX)
@pytest.mark.parametrize("lower", [False, True])
def test_complex_input_is_symmetric_not_hermitian(dtype, lower):
    rng = np.random.default_rng(5)
    n, u = 300, 3
    ab_lower = lower_band(n, u, dtype, rng, complex_entries=True)
    ab = ab_lower if lower else upper_from_lower(ab_lower)
    b = rhs(n, 2, dtype, rng)

    x = pchol.solveh_banded(ab, b, lower=lower)

    a = dense_symmetric(ab_lower)
    # The general band solver on the full band of A = A.T.
    full = np.zeros((2 * u + 1, n), dtype=dtype)
    for i in range(n):
        for j in range(max(0, i - u), min(n, i + u + 1)):
            full[u + i - j, j] = a[i, j]
    expected = scipy.linalg.solve_banded((u, u), full, b)
    assert np.abs(x - expected).max() <= tolerance(dtype) * np.abs(expected).max()
    assert np.abs(a @ x - b).max() <= 10 * tolerance(dtype) * np.abs(b).max()
    # SciPy's solveh_banded reads the same array as a Hermitian matrix.
    hermitian = scipy.linalg.solveh_banded(ab, b, lower=lower)
    assert np.abs(hermitian - expected).max() > 100 * tolerance(dtype) * np.abs(expected).max()


@pytest.mark.parametrize("method", ["bcr", "pipelined"])
@pytest.mark.parametrize("dtype", DTYPES)
def test_bit_identical_for_every_thread_count(method, dtype):
    # Several blocks of rows (bcr) and several panels (pipelined) per solve.
    rng = np.random.default_rng(3)
    n, u = (3000, 4) if method == "bcr" else (9000, 4)
    ab = lower_band(n, u, dtype, rng)
    b = rhs(n, 2, dtype, rng)
    results = [pchol.solveh_banded(ab, b, lower=True, threads=t, method=method) for t in (1, 2, 3, 4)]
    for x in results[1:]:
        assert np.ascontiguousarray(x).tobytes() == np.ascontiguousarray(results[0]).tobytes()


def test_sizes_at_the_edges():
    rng = np.random.default_rng(8)
    # More diagonals than the matrix has, in both forms.
    ab = lower_band(4, 3, np.float64, rng)
    wide = np.vstack([ab, np.zeros((3, 4))])
    b = rhs(4, 2, np.float64, rng)
    expected = scipy.linalg.solveh_banded(ab, b, lower=True)
    assert np.allclose(pchol.solveh_banded(wide, b, lower=True), expected, rtol=1e-12)
    assert np.allclose(pchol.solveh_banded(upper_from_lower(wide), b), expected, rtol=1e-12)
    # One equation; a diagonal matrix.
    assert np.allclose(pchol.solveh_banded([[4.0]], [2.0]), [0.5])
    diag = np.array([[1.0, 2.0, 4.0]])
    assert np.allclose(pchol.solveh_banded(diag, [1.0, 1.0, 1.0]), [1.0, 0.5, 0.25])
    # No right-hand sides: only the factorisation, and an empty result.
    assert pchol.solveh_banded(ab, np.zeros((4, 0)), lower=True).shape == (4, 0)
    # No equations.
    assert pchol.solveh_banded(np.zeros((2, 0)), np.zeros(0)).shape == (0,)


def test_result_dtype_follows_the_inputs():
    ab = np.array([[0, 1, 1], [4, 4, 4]], dtype=np.int32)
    b = np.array([1, 2, 3], dtype=np.int64)
    x = pchol.solveh_banded(ab, b)
    assert x.dtype == np.float64
    assert np.allclose(x, scipy.linalg.solveh_banded(ab.astype(float), b.astype(float)))
    assert pchol.solveh_banded(ab.astype(np.float32), b.astype(np.float32)).dtype == np.float32
    assert pchol.solveh_banded(ab.astype(np.float32), b.astype(np.complex64)).dtype == np.complex64
    assert pchol.solveh_banded(ab.astype(np.float32), b.astype(np.float64)).dtype == np.float64


# ---- copies and overwriting -------------------------------------------------------


@pytest.mark.parametrize("dtype", DTYPES)
def test_solver_layout_is_used_without_a_copy(dtype):
    rng = np.random.default_rng(11)
    n, u = 500, 4
    # The solver's own layout: row r holds A[r, r] ... A[r, r + u]; its
    # transpose is SciPy's lower form.
    rows = np.ascontiguousarray(lower_band(n, u, dtype, rng).T)
    ab = rows.T
    b = np.asfortranarray(rhs(n, 2, dtype, rng))
    expected = scipy.linalg.solveh_banded(ab, b, lower=True)
    rows_before = rows.copy()

    x = pchol.solveh_banded(ab, b, lower=True, overwrite_ab=True, overwrite_b=True)

    assert data_pointer(x) == data_pointer(b)
    assert np.abs(b - expected).max() <= tolerance(dtype) * np.abs(expected).max()
    # The factor was written into the caller's memory.
    assert not np.array_equal(rows, rows_before)

    b1 = rhs(n, 1, dtype, rng)
    x1 = pchol.solveh_banded(rows_before.T, b1, lower=True, overwrite_b=True)
    assert data_pointer(x1) == data_pointer(b1)


def test_overwrite_flags_copy_what_cannot_be_used_in_place():
    rng = np.random.default_rng(12)
    n, u = 200, 2
    ab = lower_band(n, u, np.float64, rng)  # C-contiguous (u + 1, n): not the solver's layout
    b = np.ascontiguousarray(rhs(n, 2, np.float64, rng))  # C order with 3 columns
    ab_before, b_before = ab.copy(), b.copy()
    expected = scipy.linalg.solveh_banded(ab, b, lower=True)
    x = pchol.solveh_banded(ab, b, lower=True, overwrite_ab=True, overwrite_b=True)
    assert np.allclose(x, expected, rtol=1e-12)
    assert np.array_equal(ab, ab_before) and np.array_equal(b, b_before)
    # A float32 b for a float64 result, and a read-only b, are copied too.
    b32 = b[:, 0].astype(np.float32)
    x = pchol.solveh_banded(ab, b32, lower=True, overwrite_b=True)
    assert x.dtype == np.float64 and data_pointer(x) != data_pointer(b32)
    frozen = np.asfortranarray(b_before)
    frozen.flags.writeable = False
    x = pchol.solveh_banded(ab, frozen, lower=True, overwrite_b=True)
    assert np.allclose(x, expected, rtol=1e-12)


# ---- errors ----------------------------------------------------------------------


@pytest.mark.parametrize("method", ["bcr", "pipelined"])
@pytest.mark.parametrize("dtype", DTYPES)
def test_not_positive_definite_raises_linalg_error(method, dtype):
    rng = np.random.default_rng(2)
    n, u = 2000, 3
    ab = lower_band(n, u, dtype, rng)
    if np.dtype(dtype).kind == "c":
        ab[:, 1500:] = 0  # a pivot of modulus zero
    else:
        ab[0, 1500] = -ab[0, 1500]
    with pytest.raises(np.linalg.LinAlgError):
        pchol.solveh_banded(ab, rhs(n, 1, dtype, rng), lower=True, method=method)


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda: pchol.solveh_banded(np.ones(3), np.ones(3)), "ab"),
        (lambda: pchol.solveh_banded(np.ones((0, 3)), np.ones(3)), "ab"),
        (lambda: pchol.solveh_banded(np.ones((1, 3)), np.ones((3, 1, 1))), "b"),
        (lambda: pchol.solveh_banded(np.ones((1, 3)), np.ones(4)), "b"),
        (lambda: pchol.solveh_banded(np.array([["a", "b"]]), np.ones(2)), "ab"),
        (lambda: pchol.solveh_banded(np.ones((1, 2)), np.array([None, None])), "b"),
        (lambda: pchol.solveh_banded(np.ones((1, 2), dtype=np.longdouble), np.ones(2)), "ab"),
        (lambda: pchol.solveh_banded(np.array([[1.0, np.nan]]), np.ones(2)), "ab"),
        (lambda: pchol.solveh_banded(np.ones((1, 2)), np.array([1.0, np.inf])), "b"),
        (lambda: pchol.solveh_banded(np.ones((1, 2)), np.ones(2), hermitian=True), "hermitian"),
        (lambda: pchol.solveh_banded(np.ones((1, 2)), np.ones(2), method="lu"), "method"),
        (lambda: pchol.solveh_banded(np.ones((1, 2)), np.ones(2), threads=0), "threads"),
        (lambda: pchol.solveh_banded(np.ones((1, 2)), np.ones(2), threads=1.5), "threads"),
        (lambda: pchol.solveh_banded(np.ones((1, 2)), np.ones(2), threads=True), "threads"),
        (lambda: pchol.set_threads(0), "k"),
        (lambda: pchol.set_threads("2"), "k"),
    ],
)
def test_bad_arguments_raise_value_error_naming_them(call, name):
    with pytest.raises(ValueError, match=name):
        call()


def test_check_finite_false_lets_nan_through():
    b = np.array([1.0, np.nan, 1.0])
    x = pchol.solveh_banded(np.array([[2.0, 2.0, 2.0]]), b, check_finite=False)
    assert np.isclose(x[0], 0.5) and np.isnan(x[1])


def test_complex_hermitian_request_is_refused_before_solving():
    b = np.ones(2, dtype=np.complex128)
    with pytest.raises(ValueError, match="symmetric"):
        pchol.solveh_banded(np.ones((1, 2), dtype=np.complex128), b, hermitian=True, overwrite_b=True)
    assert np.array_equal(b, np.ones(2))


# ---- the thread count and concurrency ----------------------------------------------


def processors():
    return min(len(os.sched_getaffinity(0)), 32)


def test_thread_count_settings_and_restoring():
    assert isinstance(pchol.__version__, str) and pchol.__version__.count(".") == 2
    pchol.set_threads(1)
    assert pchol.get_threads() == 1
    pchol.set_threads(1000)
    assert pchol.get_threads() == processors()
    pchol.set_threads(1)
    rng = np.random.default_rng(4)
    pchol.solveh_banded(lower_band(100, 2, np.float64, rng), np.ones(100), lower=True, threads=2)
    assert pchol.get_threads() == 1
    # Restored after a failed solve as well.
    bad = -lower_band(100, 2, np.float64, rng)
    with pytest.raises(np.linalg.LinAlgError):
        pchol.solveh_banded(bad, np.ones(100), lower=True, threads=2)
    assert pchol.get_threads() == 1
    pchol.set_threads(processors())


def test_solves_from_several_python_threads():
    rng = np.random.default_rng(6)
    n, u = 4000, 6
    ab = lower_band(n, u, np.float64, rng)
    b = rhs(n, 2, np.float64, rng)
    methods = ("bcr", "pipelined")
    reference = {m: pchol.solveh_banded(ab, b, lower=True, threads=1, method=m) for m in methods}
    pchol.set_threads(1)
    failures = []

    def worker(index):
        for round_ in range(6):
            method = methods[round_ % 2]
            x = pchol.solveh_banded(ab, b, lower=True, threads=1 + (index + round_) % 2, method=method)
            if not np.array_equal(x, reference[method]):
                failures.append((index, round_))

    team = [threading.Thread(target=worker, args=(i,)) for i in range(4)]
    for t in team:
        t.start()
    for t in team:
        t.join()
    assert failures == []
    assert pchol.get_threads() == 1
    pchol.set_threads(processors())


def test_gil_is_released_during_the_solve():
    # A Python thread that records the time of its loop rounds can run inside
    # a solve only if the solve let go of the GIL. Held, it would let the
    # thread run at most one switch interval (5 ms) before the call reaches
    # the solver, and again only after the solve: its rounds would leave a
    # gap from about 5 ms after the call to the solve's end. The arrays are
    # in the solver's layout and the check of finite input is off, so no
    # NumPy copy or check (which may let go of the GIL themselves) runs in
    # the call.
    # The system grows (twice the rows at a time) until its solve takes more
    # than 30 ms on this machine, long enough for the gap to show.
    rng = np.random.default_rng(9)
    u = 8
    for n in (600_000, 1_200_000, 2_400_000, 4_800_000):
        rows0 = np.ascontiguousarray(lower_band(n, u, np.float64, rng).T)
        b0 = rhs(n, 1, np.float64, rng)
        rows, b = rows0.copy(), b0.copy()

        def solve():
            np.copyto(rows, rows0)
            np.copyto(b, b0)
            start = time.perf_counter()
            pchol.solveh_banded(rows.T, b, lower=True, overwrite_ab=True, overwrite_b=True,
                                check_finite=False, threads=1, method="pipelined")
            return start, time.perf_counter() - start

        shortest = min(solve()[1] for _ in range(3))
        if shortest > 0.03:
            break
    assert shortest > 0.03, "even 4,800,000 rows solve too fast to show a gap"
    for _ in range(3):
        stamps, stop = [], threading.Event()

        def ticker():
            while not stop.is_set():
                stamps.append(time.perf_counter())

        t = threading.Thread(target=ticker)
        t.start()
        start, _ = solve()
        stop.set()
        t.join()
        if any(start + 0.01 < s < start + 0.8 * shortest for s in stamps):
            return
    pytest.fail("no Python thread ran while the solver ran")


def test_example_checks_its_answer():
    example = pathlib.Path(__file__).resolve().parents[1] / "example.py"
    done = subprocess.run([sys.executable, str(example)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "largest error" in done.stdout
