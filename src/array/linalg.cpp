// Products and views: matmul, outer, transpose, diagonal.
#include "array/linalg.hpp"

#include <string>

#include "array/matmul_kernel.hpp"

namespace kestrum {

namespace {

// Unsigned magnitude of a signed offset, safe for the most negative value.
std::uint64_t magnitude(std::int64_t k) {
    return k < 0 ? static_cast<std::uint64_t>(-(k + 1)) + 1 : static_cast<std::uint64_t>(k);
}

ArrayF64 product(const MatView& a, const MatView& b, Shape shape) {
    ArrayF64 out = ArrayF64::uninit(std::move(shape));
    GemmWorkspace ws;
    gemm(a, b, out.data.data(), b.cols, ws);
    return out;
}

[[noreturn]] void unsupported_dims() { panic("matmul requires 1D or 2D arrays"); }

}  // namespace

ArrayF64 matmul(const ArrayF64& a, const ArrayF64& b) {
    const double* pa = a.data.data();
    const double* pb = b.data.data();
    if (a.ndim() == 1) {
        const std::uint64_t n = a.shape[0];
        const MatView row = MatView::row_major(pa, 1, n);
        if (b.ndim() == 1) {
            check_eq(n, b.shape[0], "Vectors must have same length");
            return product(row, MatView::row_major(pb, n, 1), Shape::d1(1));
        }
        if (b.ndim() == 2) {
            check_eq(n, b.shape[0], "Inner dimensions must match");
            return product(row, MatView::row_major(pb, n, b.shape[1]), Shape::d1(b.shape[1]));
        }
        unsupported_dims();
    }
    if (a.ndim() == 2) {
        const std::uint64_t r = a.shape[0], n = a.shape[1];
        const MatView left = MatView::row_major(pa, r, n);
        if (b.ndim() == 1) {
            check_eq(n, b.shape[0], "Inner dimensions must match");
            return product(left, MatView::row_major(pb, n, 1), Shape::d1(r));
        }
        if (b.ndim() == 2) {
            const std::uint64_t p = b.shape[0];
            if (n != p)
                panic_assert_eq("Inner dimensions must match: " + std::to_string(n) + " vs " + std::to_string(p), n,
                                p);
            return product(left, MatView::row_major(pb, p, b.shape[1]), Shape{r, b.shape[1]});
        }
    }
    unsupported_dims();
}

ArrayF64 outer(const ArrayF64& a, const ArrayF64& b) {
    check_eq(a.ndim(), 1, "First input must be 1D");
    check_eq(b.ndim(), 1, "Second input must be 1D");
    const std::size_t m = a.size(), n = b.size();
    ArrayF64 out = ArrayF64::uninit(Shape{m, n});
    double* dst = out.data.data();
    for (std::size_t i = 0; i < m; ++i, dst += n) {
        const double x = a.data[i];
        for (std::size_t j = 0; j < n; ++j) dst[j] = x * b.data[j];
    }
    return out;
}

ArrayF64 transpose(const ArrayF64& a) {
    check_eq(a.ndim(), 2, "transpose requires 2D array");
    const std::size_t r = a.shape[0], c = a.shape[1];
    ArrayF64 out = ArrayF64::uninit(Shape{c, r});
    // Blocked so that both the strided reads and the writes stay within cache lines.
    constexpr std::size_t B = 32;
    const double* src = a.data.data();
    double* dst = out.data.data();
    for (std::size_t i0 = 0; i0 < r; i0 += B)
        for (std::size_t j0 = 0; j0 < c; j0 += B) {
            const std::size_t i1 = std::min(r, i0 + B), j1 = std::min(c, j0 + B);
            for (std::size_t j = j0; j < j1; ++j)
                for (std::size_t i = i0; i < i1; ++i) dst[j * r + i] = src[i * c + j];
        }
    return out;
}

ArrayF64 diagonal(const ArrayF64& a, std::int64_t k) {
    check_eq(a.ndim(), 2, "Input must be 2D");
    const std::uint64_t rows = a.shape[0], cols = a.shape[1];
    const std::uint64_t col0 = k > 0 ? magnitude(k) : 0;
    const std::uint64_t row0 = k < 0 ? magnitude(k) : 0;
    if (row0 >= rows || col0 >= cols) return ArrayF64::zeros(Shape::d1(0));
    const std::uint64_t len = std::min(cols - col0, rows - row0);
    ArrayF64 out = ArrayF64::uninit(Shape::d1(len));
    for (std::uint64_t i = 0; i < len; ++i) out.data[i] = a.data[(row0 + i) * cols + col0 + i];
    return out;
}

}  // namespace kestrum
