// The floating-point mode every thread of a solver team runs in.
//
// The spikes and fill of the block cyclic reduction decay geometrically away
// from the coupling rows, so a single-precision solve stores many values
// below the smallest normal float (some 4 % of the scratch and some ten
// thousand entries of the factor for the benchmark's system). Many processors
// handle a subnormal operand or result in microcode, at some hundred cycles
// an operation: on such a machine the solve runs more than twice as slowly
// as with subnormals flushed to zero. So, unless the caller turned it off
// (set_subnormal_flush), the team flushes subnormal results to zero and reads
// subnormal operands as zero; a value that small changes no stored solution
// of a well-scaled system.
//
// Either way the mode is set explicitly in every thread of the team (a new
// thread does not inherit its creator's mode on every system), so the results
// stay the same, bit for bit, for every thread count and whatever mode the
// calling thread is in; the calling thread gets its own mode back.
#pragma once

#include "pchol/settings.hpp"

#include <cstdint>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <immintrin.h>
#define PCHOL_FLOAT_MODE_SSE 1
#elif defined(__aarch64__) && (defined(__GNUC__) || defined(__clang__))
#define PCHOL_FLOAT_MODE_ARM64 1
#endif

namespace pchol::detail {

class float_mode_scope {
public:
    explicit float_mode_scope(bool flush) {
#if defined(PCHOL_FLOAT_MODE_SSE)
        // Bit 15 flushes results to zero, bit 6 reads operands as zero.
        constexpr unsigned ftz_daz = 0x8040u;
        saved_ = _mm_getcsr();
        _mm_setcsr(flush ? (saved_ | ftz_daz) : (saved_ & ~ftz_daz));
#elif defined(PCHOL_FLOAT_MODE_ARM64)
        // FPCR bit 24 (FZ) does both.
        constexpr std::uint64_t fz = std::uint64_t{1} << 24;
        asm volatile("mrs %0, fpcr" : "=r"(saved_));
        const std::uint64_t mode = flush ? (saved_ | fz) : (saved_ & ~fz);
        asm volatile("msr fpcr, %0" : : "r"(mode));
#else
        (void)flush;
#endif
    }
    ~float_mode_scope() {
#if defined(PCHOL_FLOAT_MODE_SSE)
        // The control bits go back; the exception flags (bits 0 to 5) raised
        // meanwhile stay raised.
        constexpr unsigned flags = 0x3Fu;
        _mm_setcsr((_mm_getcsr() & flags) | (saved_ & ~flags));
#elif defined(PCHOL_FLOAT_MODE_ARM64)
        asm volatile("msr fpcr, %0" : : "r"(saved_));
#endif
    }
    float_mode_scope(const float_mode_scope&) = delete;
    float_mode_scope& operator=(const float_mode_scope&) = delete;

private:
#if defined(PCHOL_FLOAT_MODE_SSE)
    unsigned saved_ = 0;
#elif defined(PCHOL_FLOAT_MODE_ARM64)
    std::uint64_t saved_ = 0;
#endif
};

}  // namespace pchol::detail
