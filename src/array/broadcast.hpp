// Position pairs of two operands meeting under broadcasting, in row-major order of the result.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "array/shape.hpp"

namespace kestrum {

struct BroadcastIter {
    Shape shape;                       // broadcast result shape
    std::vector<std::uint64_t> index;  // current multi-index into the result
    Shape a_shape;
    Shape b_shape;
    std::vector<std::uint64_t> a_strides;
    std::vector<std::uint64_t> b_strides;
    bool done = false;

    // Absent when the shapes do not broadcast (`new` in the design; a keyword in C++).
    static std::optional<BroadcastIter> create(const Shape& a, const Shape& b);

    // The next (left position, right position) pair, or absent at the end.
    std::optional<std::pair<std::uint64_t, std::uint64_t>> next();

private:
    std::uint64_t position(const Shape& operand, const std::vector<std::uint64_t>& strides) const;
};

}  // namespace kestrum
