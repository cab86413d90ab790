/* Solves a small complex symmetric band system whose solution is known, on
 * two threads, and checks the answer. Exit status 0 when it holds.
 *
 * The complex solver takes its elements as pairs of doubles, real part first:
 * the layout of double _Complex, so complex arrays are passed as they are. */
#include <pchol/pchol.h>

#include <complex.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define N 40
#define HBW 3

/* Entry (r, c), r <= c, of the band stored by rows, diagonal first. */
static size_t at(int32_t r, int32_t c) { return (size_t)((r - 1) * HBW + c - 1); }

int main(void) {
    const int32_t n = N, hbw = HBW, nrhs = 1, threads = 2;
    double _Complex A[(N - 1) * HBW + N] = {0};
    double _Complex B[N], x[N];
    double _Complex* work;
    int32_t r, c, info = -99;
    double worst = 0;

    /* 10 + i on the diagonal, -1 + i/2 on the band beside it (symmetric, not
     * Hermitian); x(r) = 1 + r / 8 - i r / 16. */
    for (r = 1; r <= n; ++r) {
        x[r - 1] = 1.0 + r / 8.0 - I * (r / 16.0);
        for (c = r; c <= n && c <= r + hbw; ++c) A[at(r, c)] = c == r ? 10.0 + I : -1.0 + I * 0.5;
    }
    for (r = 1; r <= n; ++r) {
        double _Complex sum = 0;
        for (c = r - hbw < 1 ? 1 : r - hbw; c <= n && c <= r + hbw; ++c)
            sum += A[c >= r ? at(r, c) : at(c, r)] * x[c - 1];
        B[r - 1] = sum;
    }

    /* The size is in elements, here complex ones. */
    work = malloc((size_t)pchol_workspace_size1(&n, &hbw) * sizeof *work);
    if (work == NULL) return 1;
    pchol_set_thread_count(&threads);
    pchol_solve1((double*)A, &n, &hbw, (double*)B, &nrhs, (double*)work, &info);
    free(work);
    if (info != PCHOL_INFO_OK) {
        printf("pchol_solve1 failed: info = %d\n", (int)info);
        return 1;
    }

    for (r = 0; r < n; ++r)
        if (cabs(B[r] - x[r]) > worst) worst = cabs(B[r] - x[r]);
    printf("C example: n = %d, hbw = %d, largest error %.2e\n", (int)n, (int)hbw, worst);

    /* The library this program runs with is the one its headers describe. */
    printf("pchol %s (headers %s)\n", pchol_version_string(), PCHOL_VERSION);
    if (strcmp(pchol_version_string(), PCHOL_VERSION) != 0) return 1;
    return worst < 1e-12 ? 0 : 1;
}
