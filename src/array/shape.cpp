// Shape sizes with overflow checks, row-major strides, broadcasting of two shapes and their text.
#include "array/shape.hpp"

#include <algorithm>

#include "core/panic.hpp"

namespace kestrum {

std::uint64_t Shape::size() const {
    std::uint64_t n = 1;
    bool overflow = false;
    for (std::uint64_t d : dims) {
        if (d == 0) return 0;
        if (__builtin_mul_overflow(n, d, &n)) overflow = true;
    }
    // Wrapping would let a huge shape describe a small buffer; reject it instead.
    if (overflow)
        throw Error{"shape " + format_dims(dims) + " is too large: its element count does not fit in 64 bits"};
    return n;
}

std::vector<std::uint64_t> Shape::strides_row_major() const {
    std::vector<std::uint64_t> strides(dims.size());
    if (dims.empty()) return strides;
    strides.back() = 1;
    for (std::size_t d = dims.size() - 1; d-- > 0;) strides[d] = dims[d + 1] * strides[d + 1];
    return strides;
}

std::optional<Shape> Shape::broadcast(const Shape& a, const Shape& b) {
    const std::size_t n = std::max(a.ndim(), b.ndim());
    std::vector<std::uint64_t> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t da = i < a.ndim() ? a.dims[a.ndim() - 1 - i] : 1;
        const std::uint64_t db = i < b.ndim() ? b.dims[b.ndim() - 1 - i] : 1;
        std::uint64_t d;
        if (da == db) d = da;
        else if (da == 1) d = db;
        else if (db == 1) d = da;
        else return std::nullopt;
        out[n - 1 - i] = d;
    }
    return Shape(std::move(out));
}

std::string format_dims(const std::vector<std::uint64_t>& dims) {
    std::string s = "[";
    for (std::size_t i = 0; i < dims.size(); ++i) {
        if (i) s += ", ";
        s += std::to_string(dims[i]);
    }
    s += "]";
    return s;
}

}  // namespace kestrum
