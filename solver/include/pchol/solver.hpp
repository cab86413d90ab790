// The parallel banded solver for symmetric positive-definite systems A X = B.
//
// Storage (every array counts from 1 in the comments, from 0 in C++):
//
//   A, the band: the upper triangle by rows, diagonal first. Row r takes
//   hbw + 1 consecutive slots, (r,r) (r,r+1) ... (r,r+hbw); entry (r, c) is at
//   position (r - 1) * hbw + c. For hbw = 2:
//
//       position  1     2     3     4     5     6     7 ...
//       entry    (1,1) (1,2) (1,3) (2,2) (2,3) (2,4) (3,3) ...
//
//   The array holds (n - 1) * hbw + n elements; slots of the last rows that
//   would lie past column n are never read or written.
//
//   B: n by nrhs, column-major; overwritten by the solutions.
//   WORK: 2 * n * hbw elements of scratch.
//
// info: 0 on success, -1 when a pivot was not positive.
#pragma once

#include <cstdint>

void pchol_solve4(float* A, const std::int32_t& n, const std::int32_t& hbw, float* B, const std::int32_t& nrhs,
                  float* WORK, std::int32_t& info);
