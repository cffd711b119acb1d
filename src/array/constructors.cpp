// Arrays made from a shape and a rule: filled, identity-like, diagonal and stacked.
#include "array/constructors.hpp"

namespace kestrum {

ArrayF64 ones(Shape shape) { return full(std::move(shape), 1.0); }

ArrayF64 full(Shape shape, double fill_value) {
    Buffer<double> data = Buffer<double>::filled(shape.size(), fill_value);
    return ArrayF64::create(std::move(shape), std::move(data));
}

ArrayF64 eye(std::uint64_t n, std::optional<std::uint64_t> m, std::int64_t k) {
    const std::uint64_t cols = m.value_or(n);
    ArrayF64 out = ArrayF64::zeros(Shape{n, cols});
    auto [row, col] = diagonal_start(k);
    for (; row < n && col < cols; ++row, ++col) out.data[row * cols + col] = 1.0;
    return out;
}

ArrayF64 from_diag(const ArrayF64& v, std::int64_t k) {
    check_eq(v.ndim(), 1, "Input must be 1D");
    const std::uint64_t len = v.shape[0];
    const auto [row0, col0] = diagonal_start(k);
    const std::uint64_t offset = row0 + col0;  // one of them is 0
    std::uint64_t size;
    if (__builtin_add_overflow(len, offset, &size)) panic("capacity overflow");
    std::uint64_t cells;
    if (__builtin_mul_overflow(size, size, &cells)) panic("capacity overflow");
    ArrayF64 out = ArrayF64::zeros(Shape{size, size});
    for (std::uint64_t i = 0; i < len; ++i) {
        out.data[(row0 + i) * size + col0 + i] = v.data[i];
    }
    return out;
}

ArrayF64 column_stack(const std::vector<const ArrayF64*>& arrays) {
    if (arrays.empty()) panic("Need at least one array");
    // Every input as (rows, cols, data); 1-D inputs are columns.
    struct Part {
        std::uint64_t rows, cols;
        const double* data;
    };
    std::vector<Part> parts;
    parts.reserve(arrays.size());
    for (const ArrayF64* a : arrays) {
        if (a->ndim() == 1) parts.push_back({a->shape[0], 1, a->data.data()});
        else if (a->ndim() == 2) parts.push_back({a->shape[0], a->shape[1], a->data.data()});
        else panic("column_stack only supports 1D and 2D arrays");
    }
    const std::uint64_t rows = parts[0].rows;
    std::uint64_t total = 0;
    for (const Part& p : parts) {
        check_eq(p.rows, rows, "All arrays must have the same number of rows");
        // Column counts of empty inputs are unbounded; their sum must still be a valid shape.
        if (__builtin_add_overflow(total, p.cols, &total)) panic("capacity overflow");
    }
    ArrayF64 out = ArrayF64::uninit(Shape{rows, total});
    // Without columns there is nothing to copy, however many rows the inputs declare.
    if (total == 0) return out;
    double* dst = out.data.data();
    for (std::uint64_t r = 0; r < rows; ++r)
        for (const Part& p : parts)
            for (std::uint64_t c = 0; c < p.cols; ++c) *dst++ = p.data[r * p.cols + c];
    return out;
}

}  // namespace kestrum
