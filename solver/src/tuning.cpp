#include "tuning.hpp"

namespace pchol::detail {

std::atomic<std::int32_t> block_size{0};

void set_block_size() {
    set_block_size_once(24);
}

}  // namespace pchol::detail
