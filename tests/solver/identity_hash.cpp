// Hashes of what every solver entry point stores, over a fixed list of
// shapes, so that two builds (or a build before and after a change) can be
// compared bit for bit.
//
// For each shape and each element type the program builds the same
// diagonally dominant band system from a fixed generator, solves it with the
// block solver and with the pipelined driver, and hashes the band entries of
// A (the slots of rows r..min(r + hbw, n) only) and all of B. Every shape is
// solved with each thread count of --threads; the hashes must agree (the
// solver promises the same bits for every thread count), otherwise the
// program reports the shape and exits with status 1.
//
//   pchol_identity_hash [--types sdcz] [--threads 1,3] [--check FILE]
//
// --types picks the element types (s float, d double, c complex float,
// z complex double); without --check the lines are printed, with --check
// they are compared with the lines of FILE of the same types (a line of FILE
// whose type is not picked is skipped) and every difference is printed.
#include "entry_points.hpp"
#include "pchol/pipelined.hpp"
#include "pchol/settings.hpp"
#include "pchol/settings_testing.hpp"
#include "pchol/solver.hpp"
#include "pchol/threads.hpp"

#include <algorithm>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using i32 = std::int32_t;

using family_test::entry;

struct shape {
    i32 n, hbw, nrhs;
};

// Small and odd sizes around the block lengths for every half bandwidth the
// fast kernels distinguish, and a few long systems.
std::vector<shape> shapes() {
    const i32 widths[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 12, 13, 16, 17};
    const i32 lengths[] = {1, 2, 7, 50, 301, 1000, 4099, 20000};
    std::vector<shape> list;
    i32 k = 0;
    for (i32 hbw : widths)
        for (i32 n : lengths) list.push_back({n, hbw, k++ % 4});
    for (i32 hbw : {1, 3, 4, 8, 13}) list.push_back({200000, hbw, 1 + hbw % 3});
    return list;
}

// splitmix64: the same numbers on every machine.
struct generator {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // A multiple of 1/1024 in [-1, 1]: exact in every element type.
    double unit() { return static_cast<double>(static_cast<std::int64_t>(next() % 2049) - 1024) / 1024.0; }
};

template <class T>
T value(generator& g) {
    if constexpr (std::is_same_v<T, std::complex<float>> || std::is_same_v<T, std::complex<double>>) {
        const double re = g.unit();
        return T(static_cast<typename T::value_type>(re), static_cast<typename T::value_type>(g.unit() / 2));
    } else {
        return static_cast<T>(g.unit());
    }
}

// The band of a diagonally dominant symmetric matrix (off-diagonal entries in
// [-1, 1], the diagonal 2 * hbw + 1 plus a fraction) and right-hand sides in
// [-1, 1].
template <class T>
void build(const shape& s, std::vector<T>& A, std::vector<T>& B) {
    const std::int64_t n = s.n, hbw = s.hbw;
    A.assign(static_cast<std::size_t>((n - 1) * hbw + n), T(0));
    B.assign(static_cast<std::size_t>(n * s.nrhs), T(0));
    generator g{static_cast<std::uint64_t>(n * 1000003 + hbw * 101 + s.nrhs)};
    for (std::int64_t r = 0; r < n; ++r) {
        A[static_cast<std::size_t>(r * (hbw + 1))] = T(static_cast<float>(2 * hbw + 1)) + value<T>(g) / T(4);
        for (std::int64_t c = r + 1; c <= std::min(r + hbw, n - 1); ++c)
            A[static_cast<std::size_t>(r * (hbw + 1) + (c - r))] = value<T>(g);
    }
    for (T& b : B) b = value<T>(g);
}

// FNV-1a over the bytes of the values.
struct hasher {
    std::uint64_t h = 0xCBF29CE484222325ull;
    template <class T>
    void add(const T& v) {
        unsigned char bytes[sizeof(T)];
        std::memcpy(bytes, &v, sizeof(T));
        for (unsigned char b : bytes) h = (h ^ b) * 0x100000001B3ull;
    }
};

template <class T>
std::string hash_of(const shape& s, const std::vector<T>& A, const std::vector<T>& B) {
    const std::int64_t n = s.n, hbw = s.hbw;
    hasher ha, hb;
    for (std::int64_t r = 0; r < n; ++r)
        for (std::int64_t c = r; c <= std::min(r + hbw, n - 1); ++c)
            ha.add(A[static_cast<std::size_t>(r * (hbw + 1) + (c - r))]);
    for (const T& b : B) hb.add(b);
    char text[64];
    std::snprintf(text, sizeof text, "A=%016llx B=%016llx", static_cast<unsigned long long>(ha.h),
                  static_cast<unsigned long long>(hb.h));
    return text;
}

bool many_processors(std::uint32_t& process_mask, std::uint32_t& system_mask) {
    process_mask = 0xFFFFFFFFu;
    system_mask = 0xFFFFFFFFu;
    return true;
}

// One line per entry point of type T and shape; false when thread counts
// disagreed.
template <class T>
bool hash_type(const std::vector<i32>& threads, std::vector<std::string>& lines) {
    bool agree = true;
    std::vector<T> A, B, W;
    for (const shape& s : shapes()) {
        W.assign(static_cast<std::size_t>(pchol_workspace_size4(s.n, s.hbw)), T(0));
        for (int driver = 0; driver < 2; ++driver) {
            std::string first;
            for (i32 t : threads) {
                set_thread_count(t);
                build(s, A, B);
                i32 info = 99;
                if (driver == 0)
                    entry<T>::solve(A.data(), s.n, s.hbw, B.data(), s.nrhs, W.data(), info);
                else
                    entry<T>::pipelined(A.data(), s.n, s.hbw, B.data(), s.nrhs, W.data(), info);
                std::ostringstream line;
                line << entry<T>::letter << ' ' << (driver == 0 ? "block" : "pipelined") << " n=" << s.n
                     << " hbw=" << s.hbw << " nrhs=" << s.nrhs << " info=" << info << ' ' << hash_of(s, A, B);
                if (first.empty()) {
                    first = line.str();
                } else if (line.str() != first) {
                    std::cerr << "thread counts disagree: " << first << " | " << t << " threads: " << line.str()
                              << '\n';
                    agree = false;
                }
            }
            lines.push_back(first);
        }
    }
    return agree;
}

std::vector<i32> parse_threads(const std::string& text) {
    std::vector<i32> list;
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) list.push_back(static_cast<i32>(std::stoi(item)));
    return list;
}

}  // namespace

int main(int argc, char** argv) {
    std::string types = "sdcz", check_file;
    std::vector<i32> threads = {1, 3};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--types" && i + 1 < argc) {
            types = argv[++i];
        } else if (arg == "--threads" && i + 1 < argc) {
            threads = parse_threads(argv[++i]);
        } else if (arg == "--check" && i + 1 < argc) {
            check_file = argv[++i];
        } else {
            std::cerr << "usage: pchol_identity_hash [--types sdcz] [--threads 1,3] [--check FILE]\n";
            return 2;
        }
    }
    if (threads.empty()) threads = {1};

    // The first solve of a process fixes the block size for every later one:
    // make it the real solvers' 24 whatever the types picked.
    pchol::set_affinity_query_for_testing(&many_processors);
    // Every thread count runs its full team, also on the small shapes.
    pchol::set_team_trimming_for_testing(false);
    {
        float a = 1, b = 1;
        i32 info = 0;
        pchol_solve4(&a, 1, 0, &b, 1, nullptr, info);
    }

    bool agree = true;
    std::vector<std::string> lines;
    if (types.find('s') != std::string::npos) agree &= hash_type<float>(threads, lines);
    if (types.find('d') != std::string::npos) agree &= hash_type<double>(threads, lines);
    if (types.find('c') != std::string::npos) agree &= hash_type<std::complex<float>>(threads, lines);
    if (types.find('z') != std::string::npos) agree &= hash_type<std::complex<double>>(threads, lines);
    thr_lib_cleanup();

    if (check_file.empty()) {
        for (const std::string& l : lines) std::cout << l << '\n';
        return agree ? 0 : 1;
    }

    std::ifstream in(check_file);
    if (!in) {
        std::cerr << "cannot read " << check_file << '\n';
        return 2;
    }
    std::vector<std::string> expected;
    for (std::string l; std::getline(in, l);)
        if (!l.empty() && types.find(l[0]) != std::string::npos) expected.push_back(l);
    std::size_t differ = 0;
    for (std::size_t i = 0; i < std::max(expected.size(), lines.size()); ++i) {
        const std::string want = i < expected.size() ? expected[i] : "(none)";
        const std::string got = i < lines.size() ? lines[i] : "(none)";
        if (want != got) {
            if (++differ <= 20) std::cerr << "expected " << want << "\n     got " << got << '\n';
        }
    }
    std::cout << lines.size() << " lines, " << differ << " differ from " << check_file << '\n';
    return agree && differ == 0 ? 0 : 1;
}
