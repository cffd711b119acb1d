// Arrays made from a shape and a rule: filled arrays, identity-like and diagonal matrices,
// column stacking.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "array/ndarray.hpp"

namespace kestrum {

ArrayF64 ones(Shape shape);
ArrayF64 full(Shape shape, double fill_value);
// n x (m or n) with ones on diagonal k (k > 0 above the main diagonal).
ArrayF64 eye(std::uint64_t n, std::optional<std::uint64_t> m = std::nullopt, std::int64_t k = 0);
// Square matrix with the 1-D `v` on diagonal k.
ArrayF64 from_diag(const ArrayF64& v, std::int64_t k = 0);
ArrayF64 column_stack(const std::vector<const ArrayF64*>& arrays);

// First cell of diagonal k: (0, k) on or above the main diagonal, (-k, 0) below it, computed
// without overflow for the most negative k.
struct DiagonalStart {
    std::uint64_t row, col;
};
inline DiagonalStart diagonal_start(std::int64_t k) {
    if (k >= 0) return {0, static_cast<std::uint64_t>(k)};
    return {static_cast<std::uint64_t>(-(k + 1)) + 1, 0};
}

}  // namespace kestrum
