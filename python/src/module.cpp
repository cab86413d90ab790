// The compiled part of the Python module pchol: the solver's entry points on
// NumPy arrays that are already in the solver's layout. The package's
// __init__.py checks the arguments, converts SciPy's band layouts and picks
// the element type; this part checks only what memory safety needs and makes
// no copies.
//
// The thread count is process-wide and the solvers run one at a time, so
// every call that reads or sets it, or solves, holds one mutex. The GIL is
// released before the mutex is taken: other Python threads run while a
// solve runs, and a second solve waits without holding the GIL.
#include "pchol/band_kernels.hpp"
#include "pchol/settings.hpp"
#include "pchol/solver.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <complex>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <string>

namespace py = pybind11;

namespace {

std::mutex solver_mutex;

template <class T>
using real_of = pchol::real_of_t<T>;

// Sets the thread count for the life of the guard and gives the previous one
// back; a count of 0 leaves it as it is. Held under solver_mutex.
class thread_count_guard {
public:
    explicit thread_count_guard(std::int32_t threads) : active_(threads > 0) {
        if (!active_) return;
        get_thread_count(previous_);
        set_thread_count(threads);
    }
    ~thread_count_guard() {
        if (active_) set_thread_count(previous_);
    }
    thread_count_guard(const thread_count_guard&) = delete;
    thread_count_guard& operator=(const thread_count_guard&) = delete;

private:
    bool active_;
    std::int32_t previous_ = 0;
};

void block_solve(float* A, std::int32_t n, std::int32_t hbw, float* B, std::int32_t nrhs, float* W,
                 std::int32_t& info) {
    pchol_solve4(A, n, hbw, B, nrhs, W, info);
}
void block_solve(double* A, std::int32_t n, std::int32_t hbw, double* B, std::int32_t nrhs, double* W,
                 std::int32_t& info) {
    pchol_solve3(A, n, hbw, B, nrhs, W, info);
}
void block_solve(std::complex<float>* A, std::int32_t n, std::int32_t hbw, std::complex<float>* B,
                 std::int32_t nrhs, std::complex<float>* W, std::int32_t& info) {
    pchol_solve2(A, n, hbw, B, nrhs, W, info);
}
void block_solve(std::complex<double>* A, std::int32_t n, std::int32_t hbw, std::complex<double>* B,
                 std::int32_t nrhs, std::complex<double>* W, std::int32_t& info) {
    pchol_solve1(A, n, hbw, B, nrhs, W, info);
}

void pipelined_solve(float* A, std::int32_t n, std::int32_t hbw, float* B, std::int32_t nrhs, std::int32_t& info) {
    pchol_pipelined_solve4(A, n, hbw, B, nrhs, nullptr, info);
}
void pipelined_solve(double* A, std::int32_t n, std::int32_t hbw, double* B, std::int32_t nrhs,
                     std::int32_t& info) {
    pchol_pipelined_solve3(A, n, hbw, B, nrhs, nullptr, info);
}
void pipelined_solve(std::complex<float>* A, std::int32_t n, std::int32_t hbw, std::complex<float>* B,
                     std::int32_t nrhs, std::int32_t& info) {
    pchol_pipelined_solve2(A, n, hbw, B, nrhs, nullptr, info);
}
void pipelined_solve(std::complex<double>* A, std::int32_t n, std::int32_t hbw, std::complex<double>* B,
                     std::int32_t nrhs, std::int32_t& info) {
    pchol_pipelined_solve1(A, n, hbw, B, nrhs, nullptr, info);
}

std::int32_t to_count(std::int64_t value, const char* name) {
    if (value < 0 || value > std::numeric_limits<std::int32_t>::max())
        throw py::value_error(std::string(name) + " must lie in 0 ... 2**31 - 1");
    return static_cast<std::int32_t>(value);
}

template <class T>
bool solve_as(py::array& band, py::array& b, std::int32_t n, std::int32_t hbw, bool pipelined,
              std::int32_t threads, std::int32_t& info) {
    if (!py::isinstance<py::array_t<T, py::array::c_style>>(band)) return false;
    if (!py::isinstance<py::array_t<T, py::array::f_style>>(b))
        throw py::value_error("b must be a Fortran-ordered array of the band's dtype");
    if (!band.writeable() || !b.writeable()) throw py::value_error("band and b must be writeable");
    if (b.ndim() != 2 || b.shape(0) != n) throw py::value_error("b must have shape (n, nrhs)");
    const std::int32_t nrhs = to_count(b.shape(1), "the column count of b");
    const std::int64_t band_length = n > 0 ? std::int64_t{n - 1} * hbw + n : 0;
    if (band.size() < band_length) throw py::value_error("band holds fewer than (n - 1) * hbw + n elements");

    T* A = static_cast<T*>(band.mutable_data());
    T* B = static_cast<T*>(b.mutable_data());
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> hold(solver_mutex);
    thread_count_guard count(threads);
    if (pipelined) {
        pipelined_solve(A, n, hbw, B, nrhs, info);
    } else {
        // A system whose workspace passes the 32-bit range is refused by the
        // solver: allocate nothing for it. The scratch is left uninitialised
        // (zeroing it would take a tenth of the solve's time); a complex
        // element is stored as two reals.
        const std::int64_t work_length = pchol_workspace_size4(n, hbw);
        const std::int64_t reals = work_length <= std::numeric_limits<std::int32_t>::max()
                                       ? work_length * (sizeof(T) / sizeof(real_of<T>))
                                       : 0;
        const auto work = std::make_unique_for_overwrite<real_of<T>[]>(static_cast<std::size_t>(reals));
        block_solve(A, n, hbw, B, nrhs, reals > 0 ? reinterpret_cast<T*>(work.get()) : nullptr, info);
    }
    return true;
}

// Solves in place; returns the solver's info code.
std::int32_t solve(py::array band, std::int64_t n, std::int64_t hbw, py::array b, const std::string& method,
                   std::int64_t threads) {
    if (method != "bcr" && method != "pipelined") throw py::value_error("method must be 'bcr' or 'pipelined'");
    const bool pipelined = method == "pipelined";
    const std::int32_t n32 = to_count(n, "n");
    const std::int32_t hbw32 = to_count(hbw, "hbw");
    const std::int32_t threads32 = to_count(threads, "threads");
    std::int32_t info = pchol::info_ok;
    if (solve_as<float>(band, b, n32, hbw32, pipelined, threads32, info) ||
        solve_as<double>(band, b, n32, hbw32, pipelined, threads32, info) ||
        solve_as<std::complex<float>>(band, b, n32, hbw32, pipelined, threads32, info) ||
        solve_as<std::complex<double>>(band, b, n32, hbw32, pipelined, threads32, info))
        return info;
    throw py::value_error("band must be a C-contiguous array of float32, float64, complex64 or complex128");
}

void set_threads(std::int64_t k) {
    const std::int32_t k32 = to_count(k, "k");
    if (k32 < 1) throw py::value_error("k must be at least 1");
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> hold(solver_mutex);
    set_thread_count(k32);
}

std::int32_t get_threads() {
    py::gil_scoped_release release;
    std::lock_guard<std::mutex> hold(solver_mutex);
    std::int32_t t = 0;
    get_thread_count(t);
    return t;
}

}  // namespace

PYBIND11_MODULE(_core, m) {
    m.doc() = "The compiled part of pchol; use the functions of the package pchol.";
    m.attr("__version__") = PCHOL_VERSION;
    m.attr("max_threads") = pchol::max_threads;
    m.attr("info_ok") = pchol::info_ok;
    m.attr("info_pivot_failed") = pchol::info_pivot_failed;
    m.attr("info_bad_arguments") = pchol::info_bad_arguments;
    m.attr("info_no_resources") = pchol::info_no_resources;
    m.def("solve", &solve, py::arg("band"), py::arg("n"), py::arg("hbw"), py::arg("b"), py::arg("method"),
          py::arg("threads"),
          "Solves in place: band (C-contiguous, the solver's layout) is overwritten by the factor, b "
          "(Fortran-ordered, n by nrhs) by the solutions. threads 0 keeps the thread count. Returns info.");
    m.def("set_threads", &set_threads, py::arg("k"));
    m.def("get_threads", &get_threads);
}
