// Position pairs of two broadcast operands, walked in row-major order of the result.
#include "array/broadcast.hpp"

namespace kestrum {

std::optional<BroadcastIter> BroadcastIter::create(const Shape& a, const Shape& b) {
    std::optional<Shape> shape = Shape::broadcast(a, b);
    if (!shape) return std::nullopt;
    BroadcastIter it;
    it.index.assign(shape->ndim(), 0);
    it.done = shape->size() == 0;
    it.shape = std::move(*shape);
    it.a_shape = a;
    it.b_shape = b;
    it.a_strides = a.strides_row_major();
    it.b_strides = b.strides_row_major();
    return it;
}

// Operand dimensions align with the result's last ones; a size-1 dimension repeats its element.
std::uint64_t BroadcastIter::position(const Shape& operand, const std::vector<std::uint64_t>& strides) const {
    const std::size_t lead = shape.ndim() - operand.ndim();
    std::uint64_t pos = 0;
    for (std::size_t j = 0; j < operand.ndim(); ++j)
        if (operand.dims[j] != 1) pos += index[lead + j] * strides[j];
    return pos;
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> BroadcastIter::next() {
    if (done) return std::nullopt;
    const std::pair<std::uint64_t, std::uint64_t> pair{position(a_shape, a_strides), position(b_shape, b_strides)};
    if (index.empty()) {
        done = true;
    } else {
        std::size_t d = index.size();
        while (d-- > 0) {
            if (++index[d] < shape.dims[d]) break;
            index[d] = 0;
            if (d == 0) done = true;
        }
    }
    return pair;
}

}  // namespace kestrum
