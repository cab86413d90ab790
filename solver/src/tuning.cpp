#include "tuning.hpp"

namespace pchol::detail {

std::int32_t block_size = 0;

void set_block_size() {
    if (block_size <= 0) block_size = 24;
}

}  // namespace pchol::detail
