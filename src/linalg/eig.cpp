// Eigenvalues and eigenvectors by the unshifted QR iteration.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

#include "array/constructors.hpp"
#include "core/interrupt.hpp"
#include "linalg/householder.hpp"
#include "linalg/matmul_kernel.hpp"
#include "linalg/products.hpp"

namespace kestrum {

namespace {

// Sum of squares of the off-diagonal entries, row by row, starting at +0.0.
double off_diagonal_squares(const double* a, std::size_t n) {
    double off = 0.0;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            if (i != j) off = off + a[i * n + j] * a[i * n + j];
    return off;
}

// Iterates Ak <- R Q, V <- V Q in place. Every buffer is allocated once, before the loop.
void qr_iterate(ArrayF64& ak, ArrayF64& v, std::uint64_t max_iter, double tol) {
    const std::size_t n = ak.shape[0];
    Buffer<double> r = Buffer<double>::uninit(n * n);
    Buffer<double> qt = Buffer<double>::uninit(n * n);
    Buffer<double> v_next = Buffer<double>::uninit(n * n);
    QrWorkspace qr_ws;
    qr_ws.reserve(n, n);
    GemmWorkspace gemm_ws;
    InterruptCheck check;
    for (std::uint64_t it = 0; it < max_iter; ++it) {
        check.tick(n * n * n);
        std::copy(ak.data.begin(), ak.data.end(), r.data());
        std::fill(qt.begin(), qt.end(), 0.0);
        for (std::size_t i = 0; i < n; ++i) qt[i * n + i] = 1.0;
        householder_qr(r.data(), n, n, qt.data(), qr_ws);

        const MatView q = MatView::row_major(qt.data(), n, n).transposed();
        gemm(MatView::row_major(r.data(), n, n), q, ak.data.data(), n, gemm_ws);
        gemm(MatView::row_major(v.data.data(), n, n), q, v_next.data(), n, gemm_ws);
        std::swap(v.data, v_next);

        if (std::sqrt(off_diagonal_squares(ak.data.data(), n)) < tol) break;
    }
}

}  // namespace

Result<std::pair<ArrayF64, ArrayF64>> eig_with_params(const ArrayF64& a, std::uint64_t max_iter, double tol) {
    if (a.ndim() != 2) return Error{"Eigendecomposition requires a 2D matrix"};
    const std::size_t n = a.shape[0];
    if (a.shape[1] != n) return Error{"Eigendecomposition requires a square matrix"};
    if (n == 0) return std::pair{ArrayF64::zeros(Shape::d1(0)), ArrayF64::zeros(Shape{0, 0})};
    if (n == 1) return std::pair{ArrayF64::create(Shape::d1(1), Buffer<double>{a.data[0]}), eye(1)};

    ArrayF64 ak = a.clone();
    ArrayF64 v = eye(n);
    qr_iterate(ak, v, max_iter, tol);

    std::vector<double> mag(n);
    for (std::size_t i = 0; i < n; ++i) {
        mag[i] = std::fabs(ak.data[i * n + i]);
        // Comparing a NaN magnitude has no answer: an invariant failure, not a silent order.
        if (std::isnan(mag[i])) panic_unwrap_none();
    }
    std::vector<std::size_t> idx(n);
    std::iota(idx.begin(), idx.end(), std::size_t{0});
    std::stable_sort(idx.begin(), idx.end(), [&](std::size_t x, std::size_t y) { return mag[x] > mag[y]; });

    ArrayF64 values = ArrayF64::uninit(Shape::d1(n));
    ArrayF64 vectors = ArrayF64::uninit(Shape{n, n});
    for (std::size_t k = 0; k < n; ++k) values.data[k] = ak.data[idx[k] * n + idx[k]];
    for (std::size_t row = 0; row < n; ++row)
        for (std::size_t k = 0; k < n; ++k) vectors.data[row * n + k] = v.data[row * n + idx[k]];
    return std::pair{std::move(values), std::move(vectors)};
}

Result<ArrayF64> eigvals(const ArrayF64& a) {
    auto r = eig_with_params(a, kEigMaxIter, kEigTol);
    if (!r.ok()) return r.error();
    return std::move(r.value().first);
}

}  // namespace kestrum
