#include "engine/line_sum.h"

#include <cstdint>

namespace vsk {

std::optional<LineFigures> LineSum(int64_t quantity, int64_t price, bool weighed, int64_t direction,
                                   int64_t discount) {
    const int64_t q = quantity == 0 ? 1 : quantity;
    // 128-bit intermediate: price x 1000 x quantity does not fit 64 bits for every input.
    const __int128 exact = weighed ? (static_cast<__int128>(price) * 1000 * q + 500000) / 1000000
                                   : static_cast<__int128>(price) * q;
    if (exact < INT32_MIN || exact > INT32_MAX)
        return std::nullopt;
    LineFigures line;
    line.sum = static_cast<int64_t>(exact);
    if (direction == 0 && discount > line.sum)
        discount = line.sum;
    line.discount = direction >= 0 && discount >= 1 ? discount : 0;
    line.total = direction > 0 ? line.sum + line.discount : line.sum - line.discount;
    return line;
}

}  // namespace vsk
