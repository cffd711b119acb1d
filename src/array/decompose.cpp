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
        for (std::size_t i = 0; i < p; ++i) {
            const double vi = v[i];
            const double* row = r + (k + i) * n + k;
            for (std::size_t j = 0; j < cols; ++j) w[j] = w[j] + vi * row[j];
        }
        for (std::size_t i = 0; i < p; ++i) {
            const double c = v[i] + v[i];
            double* row = r + (k + i) * n + k;
            for (std::size_t j = 0; j < cols; ++j) row[j] = row[j] - c * w[j];
        }

        // Q = Q * H on columns k.. of Q, i.e. rows k.. of Q^T: u = Q v, then Q -= (2u) v^T.
        for (std::size_t q = 0; q < m; ++q) u[q] = 0.0;
        for (std::size_t i = 0; i < p; ++i) {
            const double vi = v[i];
            const double* row = qt + (k + i) * m;
            for (std::size_t q = 0; q < m; ++q) u[q] = u[q] + vi * row[q];
        }
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

Result<ArrayF64> cholesky(const ArrayF64& a) {
    if (a.ndim() != 2) return Error{"Cholesky decomposition requires a 2D matrix"};
    const std::size_t n = a.shape[0];
    if (a.shape[1] != n) return Error{"Cholesky decomposition requires a square matrix"};
    ArrayF64 l = ArrayF64::zeros(Shape{n, n});
    const double* pa = a.data.data();
    double* pl = l.data.data();
    for (std::size_t i = 0; i < n; ++i) {
        const double* li = pl + i * n;
        for (std::size_t j = 0; j <= i; ++j) {
            const double* lj = pl + j * n;
            double sum = 0.0;
            for (std::size_t k = 0; k < j; ++k) sum = sum + li[k] * lj[k];
            if (j == i) {
                const double d = pa[i * n + i] - sum;
                if (d <= 0.0) return Error{"Matrix is not positive definite"};
                pl[i * n + i] = std::sqrt(d);
            } else {
                pl[i * n + j] = (pa[i * n + j] - sum) / lj[j];
            }
        }
    }
    return l;
}

}  // namespace kestrum
