// Products and views: matmul, outer, transpose, diagonal.
#include "linalg/products.hpp"

#include <immintrin.h>

#include <algorithm>
#include <string>

#include "array/constructors.hpp"
#include "core/cpu.hpp"
#include "linalg/matmul_kernel.hpp"

namespace kestrum {

namespace {

ArrayF64 product(const MatView& a, const MatView& b, Shape shape) {
    // Packing buffers outlive a call so that small products do not allocate them every time;
    // buffers grown beyond a MiB (large products, where allocation is negligible) are released.
    constexpr std::size_t kKeep = (std::size_t{1} << 20) / sizeof(double);
    thread_local GemmWorkspace ws;
    struct Trim {  // also when an interrupt stops the product
        ~Trim() {
            if (ws.a_pack.size() + ws.b_pack.size() > kKeep) ws = GemmWorkspace{};
        }
    } trim;
    ArrayF64 out = ArrayF64::uninit(std::move(shape));
    gemm(a, b, out.data.data(), b.cols, ws);
    return out;
}

// Tiles of 32 x 32 keep both the strided reads and the writes within cached lines.
constexpr std::size_t kTile = 32;

void transpose_block(const double* src, std::size_t c, double* dst, std::size_t r, std::size_t i0, std::size_t i1,
                     std::size_t j0, std::size_t j1) {
    for (std::size_t j = j0; j < j1; ++j)
        for (std::size_t i = i0; i < i1; ++i) dst[j * r + i] = src[i * c + j];
}

void transpose_portable(const double* src, std::size_t r, std::size_t c, double* dst) noexcept {
    for (std::size_t i0 = 0; i0 < r; i0 += kTile)
        for (std::size_t j0 = 0; j0 < c; j0 += kTile)
            transpose_block(src, c, dst, r, i0, std::min(r, i0 + kTile), j0, std::min(c, j0 + kTile));
}

// 4 x 4 blocks transposed in registers; the ragged right and bottom edges go element by element.
[[gnu::target("avx2")]] void transpose_avx2(const double* src, std::size_t r, std::size_t c, double* dst) noexcept {
    const std::size_t r4 = r / 4 * 4, c4 = c / 4 * 4;
    for (std::size_t i0 = 0; i0 < r4; i0 += kTile)
        for (std::size_t j0 = 0; j0 < c4; j0 += kTile) {
            const std::size_t i1 = std::min(r4, i0 + kTile), j1 = std::min(c4, j0 + kTile);
            for (std::size_t j = j0; j < j1; j += 4)
                for (std::size_t i = i0; i < i1; i += 4) {
                    const double* s = src + i * c + j;
                    const __m256d r0 = _mm256_loadu_pd(s), r1 = _mm256_loadu_pd(s + c);
                    const __m256d r2 = _mm256_loadu_pd(s + 2 * c), r3 = _mm256_loadu_pd(s + 3 * c);
                    const __m256d t0 = _mm256_unpacklo_pd(r0, r1), t1 = _mm256_unpackhi_pd(r0, r1);
                    const __m256d t2 = _mm256_unpacklo_pd(r2, r3), t3 = _mm256_unpackhi_pd(r2, r3);
                    double* d = dst + j * r + i;
                    _mm256_storeu_pd(d, _mm256_permute2f128_pd(t0, t2, 0x20));
                    _mm256_storeu_pd(d + r, _mm256_permute2f128_pd(t1, t3, 0x20));
                    _mm256_storeu_pd(d + 2 * r, _mm256_permute2f128_pd(t0, t2, 0x31));
                    _mm256_storeu_pd(d + 3 * r, _mm256_permute2f128_pd(t1, t3, 0x31));
                }
        }
    transpose_block(src, c, dst, r, 0, r4, c4, c);
    transpose_block(src, c, dst, r, r4, r, 0, c);
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
                panic_assert_eq("Inner dimensions must match: " + std::to_string(n) + " vs " + std::to_string(p), n, p);
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
    // An empty side may pair with a huge one ([2**61, 0]); the tiled walk would still step it.
    if (out.size() == 0) return out;
    (has_avx2() ? transpose_avx2 : transpose_portable)(a.data.data(), r, c, out.data.data());
    return out;
}

ArrayF64 diagonal(const ArrayF64& a, std::int64_t k) {
    check_eq(a.ndim(), 2, "Input must be 2D");
    const std::uint64_t rows = a.shape[0], cols = a.shape[1];
    const auto [row0, col0] = diagonal_start(k);
    if (row0 >= rows || col0 >= cols) return ArrayF64::zeros(Shape::d1(0));
    const std::uint64_t len = std::min(cols - col0, rows - row0);
    ArrayF64 out = ArrayF64::uninit(Shape::d1(len));
    for (std::uint64_t i = 0; i < len; ++i) out.data[i] = a.data[(row0 + i) * cols + col0 + i];
    return out;
}

}  // namespace kestrum
