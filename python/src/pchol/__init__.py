"""Parallel solver for symmetric banded linear systems, on NumPy arrays.

    x = pchol.solveh_banded(ab, b)

takes the band in SciPy's layouts (see solveh_banded) and solves on several
threads by block cyclic reduction, or with a pipelined factorisation
(method="pipelined"). The result is the same, bit for bit, for every thread
count.

The thread count is process-wide: set_threads(k), get_threads(), or
threads=k for one call. Solves from several Python threads run one at a
time; the GIL is released while a solve runs.
"""

import operator

import numpy as np

from . import _core

__version__ = _core.__version__

__all__ = ["solveh_banded", "set_threads", "get_threads", "__version__"]

_methods = ("bcr", "pipelined")
_supported = (np.float32, np.float64, np.complex64, np.complex128)


def set_threads(k):
    """Set the solver's thread count to min(k, processor count, 32), k >= 1.

    The count is process-wide and kept for every later solve; get_threads()
    tells the count in force.
    """
    _core.set_threads(_count(k, "k", 1))


def get_threads():
    """The solver's thread count (the processor count until one is set)."""
    return _core.get_threads()


def _count(value, name, least):
    if isinstance(value, (bool, np.bool_)):
        raise ValueError(f"{name} must be an integer, not {value!r}")
    try:
        k = operator.index(value)
    except TypeError:
        raise ValueError(f"{name} must be an integer, not {value!r}") from None
    if k < least:
        raise ValueError(f"{name} must be at least {least}, got {k}")
    return k


def _as_array(a, name, check_finite):
    try:
        arr = np.asarray(a)
    except (TypeError, ValueError) as error:
        raise ValueError(f"{name}: cannot be read as an array ({error})") from None
    if arr.dtype.kind not in "biufc" or arr.dtype.char in "gG":
        raise ValueError(
            f"{name}: dtype {arr.dtype} is not supported "
            "(float32, float64, complex64, complex128, or integers)"
        )
    if check_finite and not np.isfinite(arr).all():
        raise ValueError(f"{name}: array must not contain infs or NaNs")
    return arr


def _result_dtype(a, b):
    dtype = np.promote_types(a.dtype, b.dtype)
    if dtype.kind in "biu":
        return np.dtype(np.float64)
    if dtype == np.float16:
        return np.dtype(np.float32)
    return dtype


def _band_rows(ab, u, n, lower, dtype, in_place):
    """The band in the solver's layout: row r holds A[r, r], ..., A[r, r + u],
    as an (n, u + 1) C-contiguous array. in_place: ab itself (its transpose)
    when it is already that array."""
    if lower:
        rows = ab[: u + 1].T
        if in_place and rows.dtype == dtype and rows.flags.c_contiguous and rows.flags.writeable:
            return rows
        return np.array(rows, dtype=dtype, order="C")
    # Upper form: A[r, r + k] is ab[U - k, r + k], U = ab.shape[0] - 1.
    top = ab.shape[0] - 1
    rows = np.zeros((n, u + 1), dtype=dtype)
    for k in range(u + 1):
        rows[: n - k, k] = ab[top - k, k:]
    return rows


def solveh_banded(
    ab,
    b,
    overwrite_ab=False,
    overwrite_b=False,
    lower=False,
    check_finite=True,
    threads=None,
    method="bcr",
    hermitian=False,
):
    """Solve A x = b for a symmetric positive-definite band matrix A.

    The arguments mean what they mean for scipy.linalg.solveh_banded:

    ab : (u + 1, M) array
        The band of A with u diagonals above the main one. Upper form
        (lower=False, the default): ab[u + i - j, j] == A[i, j] for
        i <= j <= i + u. Lower form (lower=True): ab[i - j, j] == A[i, j]
        for j <= i <= j + u. Entries outside the matrix are not read.
    b : (M,) or (M, K) array
        The right-hand side(s).
    overwrite_ab, overwrite_b : bool
        The arrays may be overwritten (ab by a factor of A in the solver's
        own block order, b by the solution). With lower=True, an ab whose
        transpose ab.T is C-contiguous (ab = rows.T for an (M, u + 1)
        C-contiguous array rows, the solver's own layout) and of the result
        dtype is used without a copy when overwrite_ab is true; a b of the
        result dtype that is Fortran-contiguous (any 1-D contiguous array)
        is solved in place and returned when overwrite_b is true.
    lower : bool
        Which form ab is in.
    check_finite : bool
        Refuse (ValueError) input holding infinities or NaNs; the solver
        itself lets them through into the result.
    threads : None or int
        None: the process-wide count (set_threads). k >= 1: the count for
        this call only, min(k, processor count, 32); the previous count is
        restored afterwards.
    method : "bcr" or "pipelined"
        Block cyclic reduction (the default) or the pipelined factorisation
        in natural row order. Both give the same results for every thread
        count; they agree with each other up to rounding.
    hermitian : False
        COMPLEX INPUT IS SOLVED AS COMPLEX SYMMETRIC, NOT HERMITIAN:
        A[i, j] == A[j, i], never conjugated, factored as A = U.T @ U. This
        differs from scipy.linalg.solveh_banded, which takes complex input as
        Hermitian. hermitian=True is refused with a ValueError. For real
        input both are the same.

    The dtype is that of ab and b combined: float32, float64, complex64 or
    complex128 (integers are solved in float64).

    Returns x, shaped like b.

    Raises numpy.linalg.LinAlgError when a pivot is not positive (for complex
    input: of modulus zero), i.e. A is not positive definite; ValueError,
    naming the argument, for shapes, dtypes and values it refuses.
    """
    if hermitian:
        raise ValueError(
            "hermitian=True is not supported: pchol solves complex input as complex "
            "symmetric (A == A.T, no conjugation); use scipy.linalg.solveh_banded "
            "for Hermitian matrices"
        )
    if method not in _methods:
        raise ValueError(f"method must be 'bcr' or 'pipelined', not {method!r}")
    thread_count = 0 if threads is None else _count(threads, "threads", 1)

    a = _as_array(ab, "ab", check_finite)
    rhs = _as_array(b, "b", check_finite)
    if a.ndim != 2 or a.shape[0] < 1:
        raise ValueError(f"ab: expected a 2-D array of shape (u + 1, M), got shape {a.shape}")
    if rhs.ndim not in (1, 2):
        raise ValueError(f"b: expected a 1-D or 2-D array, got shape {rhs.shape}")
    n = a.shape[1]
    if rhs.shape[0] != n:
        raise ValueError(f"b: has {rhs.shape[0]} rows, but ab has {n} columns (M)")
    dtype = _result_dtype(a, rhs)
    if dtype.type not in _supported:
        raise ValueError(f"ab, b: their dtypes {a.dtype} and {rhs.dtype} combine to {dtype}, not supported")
    limit = 2**31 - 1
    if n > limit:
        raise ValueError(f"ab: M = {n} equations pass the solver's 32-bit counts")
    if rhs.ndim == 2 and rhs.shape[1] > limit:
        raise ValueError(f"b: {rhs.shape[1]} columns pass the solver's 32-bit counts")

    # Diagonals that lie wholly outside an M by M matrix hold nothing.
    u = min(a.shape[0] - 1, max(n - 1, 0))
    if (n - 1) * u + n > limit or (method == "bcr" and 2 * n * u > limit):
        raise ValueError(f"ab: the band of M = {n}, u = {u} passes the solver's 32-bit counts")
    band = _band_rows(a, u, n, lower, dtype, overwrite_ab)

    columns = rhs[:, np.newaxis] if rhs.ndim == 1 else rhs
    if not (overwrite_b and columns.dtype == dtype and columns.flags.f_contiguous and columns.flags.writeable):
        columns = np.array(columns, dtype=dtype, order="F")

    info = _core.solve(band, n, u, columns, method, thread_count)
    if info == _core.info_pivot_failed:
        raise np.linalg.LinAlgError("ab: the matrix is not positive definite (a pivot was not positive)")
    if info == _core.info_bad_arguments:
        raise ValueError(f"ab: the solver refused the system of M = {n}, u = {u}")
    if info == _core.info_no_resources:
        raise RuntimeError("the solver could not create its threads or synchronisation points")
    return columns.reshape(rhs.shape) if rhs.ndim == 1 else columns
