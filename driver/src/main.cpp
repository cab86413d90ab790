#include "pchol/bench.hpp"

int main() {
    bench_main();
}
