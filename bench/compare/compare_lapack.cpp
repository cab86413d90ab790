// Side-by-side timing of the parallel solver against the serial banded
// Cholesky factor-and-solve of the LAPACK library CMake found, on the
// benchmark's system (by default n = 2,000,000, half bandwidth 8, one
// right-hand side, single and double precision, 1 .. processors threads).
//
// The contenders run alternately, round after round, so that a slow spell of
// the machine hits all of them alike. Every round's time and info are kept;
// the report gives per contender the median, minimum, maximum and
// interquartile range, the largest error against the exact solution, its
// ratio to the LAPACK median of the same element type and its speedup over
// its own run with the fewest threads. Preparing a copy of the system lies
// outside the timed interval.
//
// Complex types solve the same real matrix with zero imaginary parts, where
// complex symmetric and Hermitian coincide, so LAPACK's ?pbtrf/?pbtrs solve
// the same system as the complex symmetric solvers.
//
// Usage: compare_lapack --help
#include "compare_commit.h"  // PCHOL_COMMIT, written at every build
#include "pchol/compare.hpp"
#include "pchol/settings.hpp"
#include "pchol/solver.hpp"
#include "pchol/test_system.hpp"
#include "pchol/threads.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include <dlfcn.h>
#include <unistd.h>

extern "C" {
// LAPACK's banded Cholesky routines (Fortran calling convention).
void spbtrf_(const char* uplo, const int* n, const int* kd, float* ab, const int* ldab, int* info, std::size_t);
void spbtrs_(const char* uplo, const int* n, const int* kd, const int* nrhs, const float* ab, const int* ldab,
             float* b, const int* ldb, int* info, std::size_t);
void dpbtrf_(const char* uplo, const int* n, const int* kd, double* ab, const int* ldab, int* info, std::size_t);
void dpbtrs_(const char* uplo, const int* n, const int* kd, const int* nrhs, const double* ab, const int* ldab,
             double* b, const int* ldb, int* info, std::size_t);
void cpbtrf_(const char* uplo, const int* n, const int* kd, std::complex<float>* ab, const int* ldab, int* info,
             std::size_t);
void cpbtrs_(const char* uplo, const int* n, const int* kd, const int* nrhs, const std::complex<float>* ab,
             const int* ldab, std::complex<float>* b, const int* ldb, int* info, std::size_t);
void zpbtrf_(const char* uplo, const int* n, const int* kd, std::complex<double>* ab, const int* ldab, int* info,
             std::size_t);
void zpbtrs_(const char* uplo, const int* n, const int* kd, const int* nrhs, const std::complex<double>* ab,
             const int* ldab, std::complex<double>* b, const int* ldb, int* info, std::size_t);
}

namespace {

using namespace pchol::compare;
using clock_type = std::chrono::steady_clock;
using i32 = std::int32_t;

// The larger error, a NaN counting as the largest: a solve that produced
// NaNs must not look exact.
double worse(double a, double b) {
    return std::isnan(b) || b > a ? b : a;
}

// What each element type calls.
template <class T>
struct routines;
#define COMPARE_ROUTINES(T, letter, K)                                          \
    template <>                                                                 \
    struct routines<T> {                                                        \
        static constexpr element type = element::letter;                        \
        static constexpr const char* block_name = "pchol_solve" #K;             \
        static constexpr const char* pipelined_name = "pchol_pipelined_solve" #K; \
        static constexpr const char* lapack_prefix = #letter;                   \
        static constexpr auto block = &pchol_solve##K;                          \
        static constexpr auto pipelined = &pchol_pipelined_solve##K;            \
        static constexpr const char* factored_name = "pchol_factored_solve" #K; \
        static constexpr auto factor = &pchol_factor##K;                        \
        static constexpr auto factored = &pchol_factored_solve##K;              \
        static constexpr auto pbtrf = &letter##pbtrf_;                          \
        static constexpr auto pbtrs = &letter##pbtrs_;                          \
    };
COMPARE_ROUTINES(float, s, 4)
COMPARE_ROUTINES(double, d, 3)
COMPARE_ROUTINES(std::complex<float>, c, 2)
COMPARE_ROUTINES(std::complex<double>, z, 1)
#undef COMPARE_ROUTINES

// The benchmark's system in single precision (its entries are small
// integers, exact in every type) and its exact solution.
struct problem {
    i32 n, hbw, nrhs;
    std::vector<float> a, b, x;
    problem(i32 n_, i32 hbw_, i32 nrhs_)
        : n(n_), hbw(hbw_), nrhs(nrhs_),
          a(static_cast<std::size_t>(n) + static_cast<std::size_t>(n - 1) * static_cast<std::size_t>(hbw)),
          b(static_cast<std::size_t>(n) * static_cast<std::size_t>(nrhs)), x(b.size()) {
        make_test_system(a.data(), b.data(), x.data(), n, hbw, nrhs);
    }
};

// One element type's working copies, shared by all its contenders (each
// round's prepare step refills them).
//
// The band as the solver stores it, row r holding (r,r) .. (r,r+hbw) at
// r * (hbw + 1), is LAPACK's lower band storage of U^T with LDAB = hbw + 1:
// column r holds L(r..r+hbw, r). LAPACK addresses LDAB * n elements, hbw
// more than the solver's band, so the copy is that long.
template <class T>
struct lab {
    const problem& p;
    std::vector<T> band, b, work;

    lab(const problem& p_, bool with_work)
        : p(p_), band(static_cast<std::size_t>(p.hbw + 1) * static_cast<std::size_t>(p.n)), b(p.b.size()),
          work(with_work ? static_cast<std::size_t>(pchol_workspace_size4(p.n, p.hbw)) : 0) {}

    void load_natural() {
        std::copy(p.a.begin(), p.a.end(), band.begin());
        std::copy(p.b.begin(), p.b.end(), b.begin());
    }

    // LAPACK's upper band storage: column c holds (c-hbw, c) .. (c, c), the
    // diagonal in the last of hbw + 1 rows.
    void load_upper() {
        const std::int64_t n = p.n, hbw = p.hbw, ldab = hbw + 1;
        std::fill(band.begin(), band.end(), T(0));
        for (std::int64_t r = 0; r < n; ++r)
            for (std::int64_t c = r; c <= std::min(r + hbw, n - 1); ++c)
                band[static_cast<std::size_t>(c * ldab + hbw + r - c)] = T(p.a[static_cast<std::size_t>(r * hbw + c)]);
        std::copy(p.b.begin(), p.b.end(), b.begin());
    }

    double error() const {
        double e = 0;
        for (std::size_t k = 0; k < b.size(); ++k) {
            if constexpr (std::is_floating_point_v<T>)
                e = worse(e, std::fabs(static_cast<double>(b[k]) - static_cast<double>(p.x[k])));
            else
                e = worse(e, std::abs(std::complex<double>(b[k]) - std::complex<double>(p.x[k])));
        }
        return e;
    }
};

struct contender {
    row record;
    std::function<void()> prepare;  // untimed: fresh copies of A and B, the thread count
    std::function<i32()> solve;     // timed; returns info
    std::function<double()> error;  // untimed: max |x - x_exact|
};

std::string thread_suffix(i32 t) {
    return ", " + std::to_string(t) + (t == 1 ? " thread" : " threads");
}

// The contenders of one kind for element type T, one per thread count where
// the thread count matters. A new kind of contender is one more case here
// (and its name in options.cpp).
template <class T>
void add_contenders(method kind, lab<T>& l, const std::vector<i32>& threads, std::vector<contender>& out) {
    using R = routines<T>;
    const problem& p = l.p;
    const std::string prefix = R::lapack_prefix;
    const auto add = [&](std::string name, std::string entry, i32 t, std::function<void()> prepare,
                         std::function<i32()> solve) {
        row r;
        r.name = std::move(name);
        r.kind = kind;
        r.type = R::type;
        r.entry = std::move(entry);
        r.threads = t;
        out.push_back({std::move(r), std::move(prepare), std::move(solve), [&l] { return l.error(); }});
    };
    switch (kind) {
    case method::lapack:
        add("LAPACK " + prefix + "pbtrf+" + prefix + "pbtrs (" + element_label(R::type) + ")",
            prefix + "pbtrf+" + prefix + "pbtrs", 1, [&l] { l.load_upper(); },
            [&l, &p] {
                const int ni = p.n, kd = p.hbw, ldab = p.hbw + 1, nrhs = p.nrhs;
                int info = 0;
                R::pbtrf("U", &ni, &kd, l.band.data(), &ldab, &info, 1);
                if (info == 0) R::pbtrs("U", &ni, &kd, &nrhs, l.band.data(), &ldab, l.b.data(), &ni, &info, 1);
                return info;
            });
        break;
    case method::block:
        for (const i32 t : threads)
            add(R::block_name + thread_suffix(t), R::block_name, t, [&l, t] { l.load_natural(); set_thread_count(t); },
                [&l, &p] {
                    i32 info = 0;
                    R::block(l.band.data(), p.n, p.hbw, l.b.data(), p.nrhs, l.work.data(), info);
                    return info;
                });
        break;
    case method::pipelined:
        for (const i32 t : threads)
            add(R::pipelined_name + thread_suffix(t), R::pipelined_name, t,
                [&l, t] { l.load_natural(); set_thread_count(t); },
                [&l, &p] {
                    i32 info = 0;
                    R::pipelined(l.band.data(), p.n, p.hbw, l.b.data(), p.nrhs, nullptr, info);
                    return info;
                });
        break;
    case method::pbtrs:
        add("LAPACK " + prefix + "pbtrs on its factor (" + element_label(R::type) + ")", prefix + "pbtrs", 1,
            [&l, &p] {
                l.load_upper();
                const int ni = p.n, kd = p.hbw, ldab = p.hbw + 1;
                int info = 0;
                R::pbtrf("U", &ni, &kd, l.band.data(), &ldab, &info, 1);
            },
            [&l, &p] {
                const int ni = p.n, kd = p.hbw, ldab = p.hbw + 1, nrhs = p.nrhs;
                int info = 0;
                R::pbtrs("U", &ni, &kd, &nrhs, l.band.data(), &ldab, l.b.data(), &ni, &info, 1);
                return info;
            });
        break;
    case method::factored:
        for (const i32 t : threads)
            add(R::factored_name + thread_suffix(t), R::factored_name, t,
                [&l, &p, t] {
                    l.load_natural();
                    set_thread_count(t);
                    i32 info = 0;
                    R::factor(l.band.data(), p.n, p.hbw, l.work.data(), info);
                },
                [&l, &p] {
                    i32 info = 0;
                    R::factored(l.band.data(), p.n, p.hbw, l.b.data(), p.nrhs, l.work.data(), info);
                    return info;
                });
        break;
    case method::check: {
        // The pipelined driver factoring only leaves the natural-order factor
        // U in the band, which is L = U^T in LAPACK's lower band storage.
        const i32 t = threads.back();
        add("check: pipelined factor + " + prefix + "pbtrs", R::pipelined_name + std::string("+") + prefix + "pbtrs", t,
            [&l, t] { l.load_natural(); set_thread_count(t); },
            [&l, &p] {
                i32 info = 0;
                const i32 no_rhs = 0;
                R::pipelined(l.band.data(), p.n, p.hbw, l.b.data(), no_rhs, nullptr, info);
                if (info != 0) return info;
                const int ni = p.n, kd = p.hbw, ldab = p.hbw + 1, nrhs = p.nrhs;
                int lapack_info = 0;
                R::pbtrs("L", &ni, &kd, &nrhs, l.band.data(), &ldab, l.b.data(), &ni, &lapack_info, 1);
                return static_cast<i32>(lapack_info);
            });
        break;
    }
    }
}

template <class T>
void add_element(const options& o, const problem& p, const std::vector<i32>& threads,
                 std::vector<std::shared_ptr<void>>& labs, std::vector<contender>& out) {
    const auto uses = [&](method m) { return std::find(o.methods.begin(), o.methods.end(), m) != o.methods.end(); };
    const bool with_work = uses(method::block) || uses(method::factored);
    auto l = std::make_shared<lab<T>>(p, with_work);
    for (const method m : o.methods) add_contenders(m, *l, threads, out);
    labs.push_back(std::move(l));
}

// Which LAPACK the routines come from: the file the dynamic loader took
// dpbtrf_ from, with every link resolved, and the version ilaver_ reports.
lapack_facts find_lapack() {
    lapack_facts facts;
    facts.link = PCHOL_LAPACK_NAME;
    Dl_info where{};
    void* const routine = dlsym(RTLD_DEFAULT, "dpbtrf_");
    if (routine != nullptr && dladdr(routine, &where) != 0 && where.dli_fname != nullptr) {
        char resolved[4096];
        facts.library = realpath(where.dli_fname, resolved) != nullptr ? resolved : where.dli_fname;
        char self[4096];
        const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
        if (length > 0 && facts.library == std::string(self, static_cast<std::size_t>(length)))
            facts.library = "linked into the program";
    }
    using version_query = void (*)(int*, int*, int*);
    if (void* const query = dlsym(RTLD_DEFAULT, "ilaver_")) {
        int major = 0, minor = 0, patch = 0;
        reinterpret_cast<version_query>(query)(&major, &minor, &patch);
        facts.version = std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(patch);
    }
    return facts;
}

// "round 3/9: pchol_solve4, 2 threads" on standard error, over itself, only
// when standard error is a terminal.
class progress {
public:
    progress() : on_(isatty(fileno(stderr)) != 0) {}
    void show(const char* phase, i32 round, i32 rounds, const std::string& name) const {
        if (on_) std::fprintf(stderr, "\r%s %d/%d: %s\033[K", phase, round, rounds, name.c_str());
    }
    void clear() const {
        if (on_) std::fprintf(stderr, "\r\033[K");
    }

private:
    bool on_;
};

bool write_file(const std::string& path, const std::string& text) {
    std::FILE* const f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

bool writable(const std::string& path) {
    if (path.empty()) return true;
    std::FILE* const f = std::fopen(path.c_str(), "a");
    if (f == nullptr) return false;
    std::fclose(f);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const parsed_options parsed = parse_options(std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.what == parsed_options::action::help) {
        std::fputs(usage_text().c_str(), stdout);
        return 0;
    }
    if (parsed.what == parsed_options::action::error) {
        std::fprintf(stderr, "compare_lapack: %s (see --help)\n", parsed.message.c_str());
        return 2;
    }
    report rep;
    rep.opts = parsed.opts;
    const options& o = rep.opts;
    for (const std::string& path : {o.output, o.json_output})
        if (!writable(path)) {
            std::fprintf(stderr, "compare_lapack: cannot write %s\n", path.c_str());
            return 1;
        }

    i32 processors = 0;
    count_processors(processors);
    processors = std::min(processors, pchol::max_threads);
    std::vector<i32> threads = o.threads;
    if (threads.empty())
        for (i32 t = 1; t <= processors; ++t) threads.push_back(t);
    if (threads.back() > processors) {
        std::fprintf(stderr, "compare_lapack: the solver runs at most %d threads here; more are left out\n",
                     processors);
        threads.erase(std::upper_bound(threads.begin(), threads.end(), processors), threads.end());
        if (threads.empty()) {
            std::fprintf(stderr, "compare_lapack: no thread count left to run\n");
            return 2;
        }
    }
    rep.opts.threads = threads;  // the counts measured
    const auto has = [&o](element e) { return std::find(o.types.begin(), o.types.end(), e) != o.types.end(); };
    if ((has(element::s) || has(element::d)) && (has(element::c) || has(element::z)) &&
        std::find(o.methods.begin(), o.methods.end(), method::block) != o.methods.end())
        std::fprintf(stderr, "compare_lapack: the first solve of a process fixes the solver's block size for all "
                             "types; time --type c or z on their own to see their own choice\n");

    const problem p(o.n, o.hbw, o.nrhs);
    std::vector<std::shared_ptr<void>> labs;
    std::vector<contender> all;
    for (const element e : o.types) {
        switch (e) {
        case element::s: add_element<float>(o, p, threads, labs, all); break;
        case element::d: add_element<double>(o, p, threads, labs, all); break;
        case element::c: add_element<std::complex<float>>(o, p, threads, labs, all); break;
        case element::z: add_element<std::complex<double>>(o, p, threads, labs, all); break;
        }
    }

    const progress bar;
    for (i32 round = 0; round < o.warmup; ++round)
        for (contender& c : all) {
            bar.show("warm-up", round + 1, o.warmup, c.record.name);
            c.prepare();
            c.solve();
        }
    for (i32 round = 0; round < o.rounds; ++round) {
        for (contender& c : all) {
            bar.show("round", round + 1, o.rounds, c.record.name);
            c.prepare();
            const auto start = clock_type::now();
            const i32 info = c.solve();
            const auto stop = clock_type::now();
            c.record.seconds.push_back(std::chrono::duration<double>(stop - start).count());
            c.record.info.push_back(info);
            c.record.max_error = worse(c.record.max_error, c.error());
        }
    }
    bar.clear();
    // The threading library's table mutexes, as the benchmark closes them.
    thr_lib_cleanup();

    rep.processors = processors;
    rep.machine = read_machine_facts();
    rep.build = {PCHOL_COMPILER, PCHOL_CXX_FLAGS, PCHOL_VERSION, PCHOL_COMMIT};
    rep.lapack = find_lapack();
    rep.date = utc_timestamp();
    for (contender& c : all) rep.rows.push_back(std::move(c.record));
    finish_rows(rep.rows);

    const std::string text = o.out == format::csv    ? format_csv(rep)
                             : o.out == format::json ? format_json(rep)
                                                     : format_text(rep);
    bool ok = true;
    if (o.output.empty())
        ok = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    else
        ok = write_file(o.output, text);
    if (!o.json_output.empty()) ok = write_file(o.json_output, format_json(rep)) && ok;
    if (!ok) {
        std::fprintf(stderr, "compare_lapack: writing the report failed\n");
        return 1;
    }
    return 0;
}
