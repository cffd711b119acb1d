// Matrix factorisations: Householder QR (full Q) and Cholesky.
#include <algorithm>
#include <cmath>

#include "array/constructors.hpp"
#include "array/householder.hpp"
#include "array/linalg.hpp"

namespace kestrum {

namespace {

// Columns whose remaining segment (or reflection vector) is shorter than this are left alone.
constexpr double kSkipNorm = 1e-14;

// Square root of the sequential sum of squares, starting at -0.0.
double norm2(const double* x, std::size_t stride, std::size_t len) {
    double s = -0.0;
    for (std::size_t i = 0; i < len; ++i) s = s + x[i * stride] * x[i * stride];
    return std::sqrt(s);
}

// acc[j] += v[i] * rows[i][j] for i ascending, each acc[j] one sequential sum. Four rows per
// pass over acc keep the partial sums in registers longer; the order per element is unchanged.
__attribute__((always_inline)) inline void accumulate_rows(double* acc, const double* v, const double* rows,
                                                           std::size_t stride, std::size_t p, std::size_t len) {
    std::size_t i = 0;
    for (; i + 4 <= p; i += 4) {
        const double v0 = v[i], v1 = v[i + 1], v2 = v[i + 2], v3 = v[i + 3];
        const double* r0 = rows + i * stride;
        const double* r1 = r0 + stride;
        const double* r2 = r1 + stride;
        const double* r3 = r2 + stride;
        for (std::size_t j = 0; j < len; ++j) acc[j] = (((acc[j] + v0 * r0[j]) + v1 * r1[j]) + v2 * r2[j]) + v3 * r3[j];
    }
    for (; i < p; ++i) {
        const double vi = v[i];
        const double* row = rows + i * stride;
        for (std::size_t j = 0; j < len; ++j) acc[j] = acc[j] + vi * row[j];
    }
}

}  // namespace

void QrWorkspace::reserve(std::size_t m, std::size_t n) {
    const std::size_t len = std::max(m, n);
    if (v.size() < len) v = Buffer<double>::uninit(len);
    if (w.size() < len) w = Buffer<double>::uninit(len);
    if (u.size() < len) u = Buffer<double>::uninit(len);
}

// The loops below run across independent elements (columns of R, rows of Q), each element's own
// sum still taken in ascending order, so the vectorised clone gives the same bits as the default.
__attribute__((target_clones("avx2", "default"))) void householder_qr(double* r, std::size_t m, std::size_t n,
                                                                      double* qt, QrWorkspace& ws) {
    ws.reserve(m, n);
    double* v = ws.v.data();
    double* w = ws.w.data();
    double* u = ws.u.data();
    const std::size_t steps = std::min(m, n);
    for (std::size_t k = 0; k < steps; ++k) {
        const std::size_t p = m - k;
        const double* x = r + k * n + k;  // column segment R[k.., k], stride n
        const double xnorm = norm2(x, n, p);
        if (xnorm < kSkipNorm) continue;
        for (std::size_t i = 0; i < p; ++i) v[i] = x[i * n];
        const double x0 = v[0];
        v[0] = v[0] + ((x0 < 0.0 || std::isnan(x0)) ? -xnorm : xnorm);
        const double vnorm = norm2(v, 1, p);
        if (vnorm < kSkipNorm) continue;
        for (std::size_t i = 0; i < p; ++i) v[i] = v[i] / vnorm;

        // R = H * R on rows k.., columns k..: w = v^T R, then R -= (2v) w^T.
        const std::size_t cols = n - k;
        for (std::size_t j = 0; j < cols; ++j) w[j] = 0.0;
        accumulate_rows(w, v, r + k * n + k, n, p, cols);
        for (std::size_t i = 0; i < p; ++i) {
            const double c = v[i] + v[i];
            double* row = r + (k + i) * n + k;
            for (std::size_t j = 0; j < cols; ++j) row[j] = row[j] - c * w[j];
        }

        // Q = Q * H on columns k.. of Q, i.e. rows k.. of Q^T: u = Q v, then Q -= (2u) v^T.
        for (std::size_t q = 0; q < m; ++q) u[q] = 0.0;
        accumulate_rows(u, v, qt + k * m, m, p, m);
        for (std::size_t q = 0; q < m; ++q) u[q] = u[q] + u[q];
        for (std::size_t i = 0; i < p; ++i) {
            const double vi = v[i];
            double* row = qt + (k + i) * m;
            for (std::size_t q = 0; q < m; ++q) row[q] = row[q] - u[q] * vi;
        }
    }
    for (std::size_t i = 1; i < m; ++i) std::fill(r + i * n, r + i * n + std::min(i, n), 0.0);
}

Result<std::pair<ArrayF64, ArrayF64>> qr(const ArrayF64& a) {
    if (a.ndim() != 2) return Error{"QR decomposition requires a 2D matrix"};
    const std::size_t m = a.shape[0], n = a.shape[1];
    ArrayF64 r = a.clone();
    ArrayF64 qt = eye(m);  // the identity is its own transpose
    QrWorkspace ws;
    householder_qr(r.data.data(), m, n, qt.data.data(), ws);
    return std::pair{transpose(qt), std::move(r)};
}

// Column by column (left-looking): column j of L needs only the columns before it, so the sums of
// all its rows accumulate together, vectorised across rows, each still in ascending k. The
// diagonal values and hence the first failing pivot are the same as in a row-by-row sweep.
__attribute__((target_clones("avx2", "default"))) static bool cholesky_columns(const double* a, std::size_t n,
                                                                                double* lt, double* s,
                                                                                double* lj) {
    for (std::size_t j = 0; j < n; ++j) {
        const std::size_t len = n - j;
        for (std::size_t i = 0; i < len; ++i) s[i] = 0.0;
        for (std::size_t k = 0; k < j; ++k) lj[k] = lt[k * n + j];
        accumulate_rows(s, lj, lt + j, n, j, len);
        const double d = a[j * n + j] - s[0];
        if (d <= 0.0) return false;
        const double diag = std::sqrt(d);
        double* col = lt + j * n + j;  // L[j.., j]
        col[0] = diag;
        for (std::size_t i = 1; i < len; ++i) col[i] = (a[(j + i) * n + j] - s[i]) / diag;
    }
    return true;
}

Result<ArrayF64> cholesky(const ArrayF64& a) {
    if (a.ndim() != 2) return Error{"Cholesky decomposition requires a 2D matrix"};
    const std::size_t n = a.shape[0];
    if (a.shape[1] != n) return Error{"Cholesky decomposition requires a square matrix"};
    ArrayF64 l = ArrayF64::zeros(Shape{n, n});
    if (n == 0) return l;
    Buffer<double> lt = Buffer<double>::uninit(n * n);  // L by columns: lt[k * n + i] = L[i, k]
    Buffer<double> work = Buffer<double>::uninit(2 * n);
    if (!cholesky_columns(a.data.data(), n, lt.data(), work.data(), work.data() + n))
        return Error{"Matrix is not positive definite"};
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t k = 0; k <= i; ++k) l.data[i * n + k] = lt[k * n + i];
    return l;
}

}  // namespace kestrum
