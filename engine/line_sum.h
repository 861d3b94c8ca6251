// What a sale line comes to on the register, by its own rounding: one rule for the engine that
// prints the line and for anyone who must know the sum before it prints.
#pragma once

#include <cstdint>
#include <optional>

namespace vsk {

struct LineFigures {
    int64_t sum = 0;       // price x quantity (a weighed quantity in thousandths, to the kopeck)
    int64_t discount = 0;  // as it goes to the register: a discount at most the sum; 0 for none
    int64_t total = 0;     // what the line adds to the receipt
};

// Quantity 0 counts as 1; a direction of 0 takes the discount off, above 0 adds it, below 0
// (or a discount below 1) means none. nullopt when price x quantity does not fit 32 bits.
std::optional<LineFigures> LineSum(int64_t quantity, int64_t price, bool weighed, int64_t direction,
                                   int64_t discount);

}  // namespace vsk
