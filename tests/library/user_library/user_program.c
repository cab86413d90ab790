/* Calls the user's library and pchol's C interface in one program that has
 * functions of its own named set_thread_count, get_thread_count,
 * set_subnormal_flush and get_subnormal_flush: none of pchol's C names may
 * clash with them. Exit status 0 when every answer holds. */
#include <pchol/pchol.h>

#include <stdint.h>
#include <stdio.h>

double user_solve(int32_t n);

static int threads_asked = 0;
static int flush_asked = 0;

int set_thread_count(int k) { return threads_asked = k; }
int get_thread_count(void) { return threads_asked; }
int set_subnormal_flush(int on) { return flush_asked = on; }
int get_subnormal_flush(void) { return flush_asked; }

int main(void) {
    const int32_t one = 1, n = 3, hbw = 0, nrhs = 1;
    float A[3] = {4.0f, 16.0f, 0.25f};
    float B[3] = {2.0f, 8.0f, 1.0f};
    int32_t info = -99, threads = 0;
    double worst;

    set_thread_count(7);
    set_subnormal_flush(1);
    pchol_set_thread_count(&one);
    pchol_get_thread_count(&threads);
    pchol_solve4(A, &n, &hbw, B, &nrhs, NULL, &info);
    worst = user_solve(500);
    printf("user library: largest error %.2e; own thread count %d, pchol's %d\n", worst, get_thread_count(),
           (int)threads);
    if (info != PCHOL_INFO_OK || B[0] != 0.5f || B[1] != 0.5f || B[2] != 4.0f) return 1;
    if (get_thread_count() != 7 || get_subnormal_flush() != 1 || threads != 1) return 1;
    return worst >= 0 && worst < 1e-12 ? 0 : 1;
}
