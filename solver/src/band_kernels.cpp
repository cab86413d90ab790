// The kernels and coupling steps, instantiated once for every element type
// the library serves.
#include "band_kernels_impl.hpp"

#define PCHOL_INSTANTIATE_BAND_KERNELS(T)                                                                          \
    template void pchol::band_factor_block<T>(T*, const std::int32_t&, const std::int32_t&, const std::int32_t&,   \
                                              const pchol::real_of_t<T>&, std::int32_t*, const std::int32_t&);    \
    template void pchol::spike_solve<T>(const T*, const std::int32_t&, const std::int32_t&, const std::int32_t&,  \
                                        T*, const std::int32_t&);                                                   \
    template void pchol::coupling_solve<T>(const T*, const std::int32_t&, const std::int32_t&,                     \
                                           const std::int32_t&, const std::int32_t&, T*, const std::int32_t&);     \
    template void pchol::rhs_forward_block<T>(const T*, const std::int32_t&, const std::int32_t&,                  \
                                              const std::int32_t&, T*, const std::int32_t&, const std::int32_t&);  \
    template void pchol::rhs_backward_block<T>(const T*, const std::int32_t&, const std::int32_t&,                 \
                                               const std::int32_t&, T*, const std::int32_t&, const std::int32_t&); \
    template void pchol::gather_left_coupling<T>(const T*, const std::int32_t&, const std::int32_t&,               \
                                                 const std::int32_t&, T*, const std::int32_t&);                    \
    template void pchol::gather_right_coupling<T>(const T*, const std::int32_t&, const std::int32_t&,              \
                                                  const std::int32_t&, const std::int32_t&, T*);                   \
    template void pchol::update_separator_tail<T>(T*, const std::int32_t&, const std::int32_t&,                    \
                                                  const std::int32_t&, const std::int32_t&, const T*, T*,          \
                                                  const std::int32_t&, const std::int32_t&);                       \
    template void pchol::update_separator_head<T>(T*, const std::int32_t&, const std::int32_t&,                    \
                                                  const std::int32_t&, const T*, T*, const std::int32_t&,          \
                                                  const std::int32_t&);                                            \
    template void pchol::save_link<T>(const std::int32_t&, const std::int32_t&, const std::int32_t&, const T*, T*, \
                                      const std::int32_t&);                                                        \
    template void pchol::form_fill<T>(T*, const std::int32_t&, const std::int32_t&, const std::int32_t&,           \
                                      const std::int32_t&, T*, const std::int32_t&);                               \
    template void pchol::apply_left_spike<T>(const std::int32_t&, const std::int32_t&, const std::int32_t&,        \
                                             const std::int32_t&, const T*, T*, const std::int32_t&,               \
                                             const std::int32_t&);                                                 \
    template void pchol::apply_link<T>(const std::int32_t&, const std::int32_t&, const std::int32_t&,              \
                                       const std::int32_t&, const T*, T*, const std::int32_t&, const std::int32_t&);

PCHOL_INSTANTIATE_BAND_KERNELS(float)
PCHOL_INSTANTIATE_BAND_KERNELS(double)
PCHOL_INSTANTIATE_BAND_KERNELS(std::complex<double>)
PCHOL_INSTANTIATE_BAND_KERNELS(std::complex<float>)
