#include "pchol/test_system.hpp"

#include <algorithm>
#include <cstddef>

namespace pchol {

double test_generator::next() {
    std::int32_t k = s1_ / 53668;
    s1_ = 40014 * (s1_ - k * 53668) - 12211 * k;
    if (s1_ < 0) s1_ += 2147483563;
    k = s2_ / 52774;
    s2_ = 40692 * (s2_ - k * 52774) - 3791 * k;
    if (s2_ < 0) s2_ += 2147483399;
    std::int32_t z = s1_ - s2_;
    if (z <= 0) z += 2147483562;
    return static_cast<double>(z) * 0x1p-31;
}

}  // namespace pchol

void make_test_system(float* A, float* B, float* X, const std::int32_t& n, const std::int32_t& hbw,
                      const std::int32_t& nrhs) {
    if (n <= 0) return;
    using index = std::int64_t;
    const index N = n;
    const index w = hbw;
    // Entry (r, c) of the band, 1-based, upper triangle by rows.
    auto at = [A, w](index r, index c) -> float& { return A[(r - 1) * w + c - 1]; };

    // U: entry (r, c) is 1 + ((c - 1) mod hbw), written position by position,
    // the slots past column n in the last rows included.
    const index length = N + (N - 1) * w;
    float v = 0.0f;
    for (index p = 0; p < length; ++p) {
        v += 1.0f;
        if (v > static_cast<float>(hbw)) v = 1.0f;
        A[p] = v;
    }

    // In place: A <- U^T U. Columns go from n down and rows within a column
    // from the diagonal up, so every read still sees an entry of U.
    for (index i = N; i >= 1; --i) {
        const index lo = std::max<index>(1, i - w);
        for (index c = i; c >= lo; --c) {
            double t = static_cast<double>(at(c, c)) * static_cast<double>(at(c, i));
            for (index l = lo; l <= c - 1; ++l) t += static_cast<double>(at(l, i)) * static_cast<double>(at(l, c));
            at(c, i) = static_cast<float>(t);
        }
    }
    for (index r = 1; r <= N; ++r) at(r, r) = static_cast<float>(static_cast<double>(at(r, r)) * 10.0);

    pchol::test_generator generator;
    for (index j = 0; j < nrhs; ++j)
        for (index k = 0; k < N; ++k) X[j * N + k] = static_cast<float>(generator.next());

    // B = A X, summed in double precision: diagonal, then the entries left of
    // it (read from the rows above), then row k right of the diagonal.
    for (index j = 0; j < nrhs; ++j) {
        const float* x = X + j * N;
        for (index k = 1; k <= N; ++k) {
            double t = static_cast<double>(at(k, k)) * static_cast<double>(x[k - 1]);
            for (index l = std::max<index>(1, k - w); l <= k - 1; ++l)
                t += static_cast<double>(at(l, k)) * static_cast<double>(x[l - 1]);
            for (index m = k + 1; m <= std::min(k + w, N); ++m)
                t += static_cast<double>(at(k, m)) * static_cast<double>(x[m - 1]);
            B[j * N + k - 1] = static_cast<float>(t);
        }
    }
}
