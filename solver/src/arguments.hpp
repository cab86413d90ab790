// The argument checks every solver entry point makes before it touches
// anything: the sizes, the arrays' address ranges, and whether there is
// anything to do at all.
#pragma once

#include <cstdint>
#include <limits>

namespace pchol::detail {

// What a driver does with its arguments.
enum class argument_verdict {
    solve,          // the arrays are sound: go ahead
    nothing_to_do,  // n <= 0: return info_ok, touching nothing
    refused,        // return info_bad_arguments, touching nothing
};

// One array's bytes [first, first + bytes), or nothing when bytes is 0.
struct byte_range {
    std::uintptr_t first = 0;
    std::uint64_t bytes = 0;
};

inline bool ranges_overlap(const byte_range& x, const byte_range& y) {
    if (x.bytes == 0 || y.bytes == 0) return false;
    return x.first < y.first ? y.first - x.first < x.bytes : x.first - y.first < y.bytes;
}

// The range of count elements of element_bytes each from p; false when it
// would pass the end of the address space (no such array can exist) or when
// p is null and the array is needed.
inline bool array_range(const void* p, std::int64_t count, std::uint64_t element_bytes, byte_range& out) {
    out = {reinterpret_cast<std::uintptr_t>(p), 0};
    if (count <= 0) return true;
    if (p == nullptr) return false;
    // The bytes from p to the top of the address space, p's own included.
    const std::uint64_t room = std::numeric_limits<std::uintptr_t>::max() - out.first + 1;
    if (static_cast<std::uint64_t>(count) > room / element_bytes) return false;
    out.bytes = static_cast<std::uint64_t>(count) * element_bytes;
    return true;
}

// The checks, in the order that decides the verdict. The sizes are counted
// in 64 bits, so that none of them overflows: the band (n - 1) * hbw + n, the
// right-hand sides n * nrhs (none when nrhs <= 0: B is then not touched), the
// scratch of work_elements as the entry point's size query gives it, and
// counter_reach, the largest value that the driver's 32-bit counters take (0
// when the driver checks its counters itself).
//   1. hbw < 0 is refused (whatever n is);
//   2. n <= 0 leaves nothing to do;
//   3. the band, the scratch and counter_reach must be countable in 32-bit
//      integers (2^31 - 1 at most);
//   4. every array that the call uses must be there (not null) and fit the
//      address space, and no two of them may share a byte: the solve would
//      read what it has just overwritten and return garbage with info_ok.
// Nothing is read or written through the pointers.
inline argument_verdict check_call(const void* A, std::int32_t n, std::int32_t hbw, const void* B, std::int32_t nrhs,
                                   const void* WORK, std::int64_t work_elements, std::int64_t counter_reach,
                                   std::uint64_t element_bytes) {
    constexpr std::int64_t limit = std::numeric_limits<std::int32_t>::max();
    if (hbw < 0) return argument_verdict::refused;
    if (n <= 0) return argument_verdict::nothing_to_do;
    const std::int64_t band = (std::int64_t{n} - 1) * hbw + n;
    const std::int64_t rhs = nrhs > 0 ? std::int64_t{n} * nrhs : 0;
    if (band > limit || work_elements > limit || counter_reach > limit) return argument_verdict::refused;

    byte_range a, b, work;
    if (!array_range(A, band, element_bytes, a) || !array_range(B, rhs, element_bytes, b) ||
        !array_range(WORK, work_elements, element_bytes, work))
        return argument_verdict::refused;
    if (ranges_overlap(a, b) || ranges_overlap(a, work) || ranges_overlap(b, work)) return argument_verdict::refused;
    return argument_verdict::solve;
}

template <class T>
argument_verdict check_call(const T* A, std::int32_t n, std::int32_t hbw, const T* B, std::int32_t nrhs,
                            const T* WORK, std::int64_t work_elements, std::int64_t counter_reach = 0) {
    return check_call(static_cast<const void*>(A), n, hbw, static_cast<const void*>(B), nrhs,
                      static_cast<const void*>(WORK), work_elements, counter_reach, sizeof(T));
}

}  // namespace pchol::detail
