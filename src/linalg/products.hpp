// Dense linear algebra on float64 arrays: products, transpose, diagonals, QR and Cholesky
// factorisations and the unshifted QR eigenvalue iteration.
//
// Every sum of products starts at the value its operation names and adds the rounded products one
// at a time in ascending index order, so results are fixed bit for bit whatever loop order,
// blocking or vector width computes them.
#pragma once

#include <cstdint>
#include <utility>

#include "array/ndarray.hpp"
#include "core/panic.hpp"

namespace kestrum {

// Matrix, matrix-vector and vector products (1-D or 2-D operands). Shape violations panic.
ArrayF64 matmul(const ArrayF64& a, const ArrayF64& b);
// a[i] * b[j] for two 1-D arrays.
ArrayF64 outer(const ArrayF64& a, const ArrayF64& b);
ArrayF64 transpose(const ArrayF64& a);
// Diagonal k of a 2-D array (k > 0 above the main diagonal); empty when it lies outside.
ArrayF64 diagonal(const ArrayF64& a, std::int64_t k);

// Householder QR, full mode: (Q [m, m], R [m, n]).
Result<std::pair<ArrayF64, ArrayF64>> qr(const ArrayF64& a);
// Lower-triangular L with A = L * L^T; reads only the lower triangle of A.
Result<ArrayF64> cholesky(const ArrayF64& a);

// Unshifted QR iteration: (values [n], vectors [n, n]) ordered by decreasing |value|. eig and
// eigvals iterate with the default limit and tolerance.
inline constexpr std::uint64_t kEigMaxIter = 1000;
inline constexpr double kEigTol = 1e-10;
Result<std::pair<ArrayF64, ArrayF64>> eig_with_params(const ArrayF64& a, std::uint64_t max_iter, double tol);
Result<ArrayF64> eigvals(const ArrayF64& a);

}  // namespace kestrum
