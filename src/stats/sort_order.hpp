// Stable ascending order of float64 values as storage positions, NaNs last.
#pragma once

#include <cstdint>
#include <span>

#include "array/buffer.hpp"

namespace kestrum::stats {

// One element of the order: its storage position and an order key. Keys of two numbers are
// equal exactly when the numbers compare equal (0.0 and -0.0 share a key); every NaN has the key
// kNaNKey, which is above every number's key.
struct KeyedIndex {
    std::uint64_t key;
    std::uint64_t index;
};

inline constexpr std::uint64_t kNaNKey = ~std::uint64_t{0};

// Positions of `data` by ascending value; equal values and NaNs keep their storage order.
Buffer<KeyedIndex> sort_order(std::span<const double> data);

}  // namespace kestrum::stats
