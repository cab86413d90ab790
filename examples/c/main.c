/* Solves a small band system whose solution is known, on two threads, and
 * checks the answer. Exit status 0 when it holds. */
#include <pchol/pchol.h>

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#define N 40
#define HBW 3

/* Entry (r, c), r <= c, of the band stored by rows, diagonal first. */
static size_t at(int32_t r, int32_t c) { return (size_t)((r - 1) * HBW + c - 1); }

int main(void) {
    const int32_t n = N, hbw = HBW, nrhs = 1, threads = 2;
    float A[(N - 1) * HBW + N] = {0};
    float B[N], x[N];
    int32_t r, c, info = -99;
    float* work;
    double worst = 0;

    /* 10 on the diagonal, -1 on the band beside it; x(r) = 1 + r / 8. */
    for (r = 1; r <= n; ++r) {
        x[r - 1] = 1.0f + (float)r / 8;
        for (c = r; c <= n && c <= r + hbw; ++c) A[at(r, c)] = c == r ? 10.0f : -1.0f;
    }
    for (r = 1; r <= n; ++r) {
        float sum = 0;
        for (c = r - hbw < 1 ? 1 : r - hbw; c <= n && c <= r + hbw; ++c)
            sum += A[c >= r ? at(r, c) : at(c, r)] * x[c - 1];
        B[r - 1] = sum;
    }

    work = malloc((size_t)pchol_workspace_size4(&n, &hbw) * sizeof *work);
    if (work == NULL) return 1;
    set_thread_count(&threads);
    pchol_solve4(A, &n, &hbw, B, &nrhs, work, &info);
    free(work);
    if (info != PCHOL_INFO_OK) {
        printf("pchol_solve4 failed: info = %d\n", (int)info);
        return 1;
    }

    for (r = 0; r < n; ++r)
        if (fabs((double)B[r] - x[r]) > worst) worst = fabs((double)B[r] - x[r]);
    printf("C example: n = %d, hbw = %d, largest error %.2e\n", (int)n, (int)hbw, worst);
    return worst < 1e-4 ? 0 : 1;
}
