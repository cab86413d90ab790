// The kernels and coupling steps, instantiated once for every element type
// the library serves.
#include "band_kernels_impl.hpp"

namespace {
using row = const std::int32_t&;  // every row, count and half bandwidth
}  // namespace

#define PCHOL_INSTANTIATE_BAND_KERNELS(T)                                                                           \
    template void pchol::band_factor_block<T>(T*, row, row, row, const pchol::real_of_t<T>&, std::int32_t*, row);  \
    template void pchol::spike_solve<T>(const T*, row, row, row, T*, row);                                         \
    template void pchol::coupling_solve<T>(const T*, row, row, row, row, T*, row);                                 \
    template void pchol::rhs_forward_block<T>(const T*, row, row, row, T*, row, row);                              \
    template void pchol::rhs_backward_block<T>(const T*, row, row, row, T*, row, row);                             \
    template void pchol::gather_left_coupling<T>(const T*, row, row, row, T*, row);                                \
    template void pchol::gather_right_coupling<T>(const T*, row, row, row, row, T*);                               \
    template void pchol::update_separator_tail<T>(T*, row, row, row, row, const T*, T*, row, row);                 \
    template void pchol::update_separator_head<T>(T*, row, row, row, const T*, T*, row, row);                      \
    template void pchol::save_link<T>(row, row, row, const T*, T*, row);                                           \
    template void pchol::form_fill<T>(T*, row, row, row, row, T*, row);                                            \
    template void pchol::apply_left_spike<T>(row, row, row, row, const T*, T*, row, row);                          \
    template void pchol::apply_link<T>(row, row, row, row, const T*, T*, row, row);

PCHOL_INSTANTIATE_BAND_KERNELS(float)
PCHOL_INSTANTIATE_BAND_KERNELS(double)
PCHOL_INSTANTIATE_BAND_KERNELS(std::complex<double>)
PCHOL_INSTANTIATE_BAND_KERNELS(std::complex<float>)
