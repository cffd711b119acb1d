// Matrix factorisations: Householder QR (full Q) and Cholesky.
#include <algorithm>
#include <cmath>

#include "array/constructors.hpp"
#include "core/cpu.hpp"
#include "core/interrupt.hpp"
#include "linalg/householder.hpp"
#include "linalg/products.hpp"

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
[[gnu::always_inline]] inline void accumulate_rows(double* acc, const double* v, const double* rows, std::size_t stride,
                                                   std::size_t p, std::size_t len) {
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

// row[j] -= c * x[j] (a row of R: c = v[i] + v[i], x = w) or, with `c_first` false,
// row[j] -= x[j] * c (a row of Q^T: x = u + u, c = v[i]): the operand order of the formulas.
[[gnu::always_inline]] inline void update_row(double* row, double c, const double* x, std::size_t len, bool c_first) {
    if (c_first)
        for (std::size_t j = 0; j < len; ++j) row[j] = row[j] - c * x[j];
    else
        for (std::size_t j = 0; j < len; ++j) row[j] = row[j] - x[j] * c;
}

// v = the normalised reflection vector of column k of the m x n matrix r, or false when the
// column (or the vector) is too short and the step is skipped.
bool make_reflector(const double* r, std::size_t m, std::size_t n, std::size_t k, double* v) {
    const std::size_t p = m - k;
    const double* x = r + k * n + k;  // column segment R[k.., k], stride n
    const double xnorm = norm2(x, n, p);
    if (xnorm < kSkipNorm) return false;
    for (std::size_t i = 0; i < p; ++i) v[i] = x[i * n];
    const double x0 = v[0];
    v[0] = v[0] + ((x0 < 0.0 || std::isnan(x0)) ? -xnorm : xnorm);
    const double vnorm = norm2(v, 1, p);
    if (vnorm < kSkipNorm) return false;
    for (std::size_t i = 0; i < p; ++i) v[i] = v[i] / vnorm;
    return true;
}

}  // namespace

void QrWorkspace::reserve(std::size_t m, std::size_t n) {
    if (m == 0 || n == 0) return;  // no column step runs; the other side may be any size
    const std::size_t len = std::max(m, n);
    for (Buffer<double>* b : {&v, &w, &u, &v_next, &w_next, &u_next})
        if (b->size() < len) *b = Buffer<double>::uninit(len);
}

namespace {

// Step k reflects rows k.. of R (columns k..) and of Q^T with its vector v:
//   w = v^T R,  R -= (v + v) w^T;   u = Q v,  Q^T -= v (u + u)^T.
// Every sum w[j], u[q] runs over the rows in ascending order. To read each row once per step,
// the sums of step k + 1 are gathered while step k updates the same rows: column k + 1 is updated
// first, which yields the next vector before the fused passes start. The arithmetic per element
// is exactly that of the one-step-at-a-time procedure.
//
// The loops run across independent elements (columns of R, rows of Q), so the AVX2 copy gives
// the same bits as the portable one.
//
// This runs steps [k_begin, k_end); `prepared` and the roles of the workspace's vectors carry
// over to the call that continues, so a factorisation may run in several calls.
[[gnu::always_inline]] inline void householder_steps(double* r, std::size_t m, std::size_t n, double* qt,
                                                     QrWorkspace& ws, std::size_t k_begin, std::size_t k_end,
                                                     bool& prepared) noexcept {
    double* v = ws.v.data();
    double* w = ws.w.data();
    double* u = ws.u.data();
    double* v1 = ws.v_next.data();
    double* w1 = ws.w_next.data();
    double* u1 = ws.u_next.data();
    const std::size_t steps = std::min(m, n);
    bool swapped = false;
    // prepared: v, w, u of step k were gathered during step k - 1
    for (std::size_t k = k_begin; k < k_end; ++k) {
        const std::size_t p = m - k, cols = n - k;
        double* rk = r + k * n + k;  // R[k, k]
        double* qk = qt + k * m;     // row k of Q^T
        if (!prepared) {
            if (!make_reflector(r, m, n, k, v)) continue;
            std::fill(w, w + cols, 0.0);
            accumulate_rows(w, v, rk, n, p, cols);
            std::fill(u, u + m, 0.0);
            accumulate_rows(u, v, qk, m, p, m);
        }
        for (std::size_t q = 0; q < m; ++q) u[q] = u[q] + u[q];

        // Column k + 1 ahead of the rest, then the next vector.
        if (cols > 1)
            for (std::size_t i = 0; i < p; ++i) rk[i * n + 1] = rk[i * n + 1] - (v[i] + v[i]) * w[1];
        const bool next = k + 1 < steps && make_reflector(r, m, n, k + 1, v1);

        // R: row k, then rows k+1.. in fours, each block folded into w1 right after its update.
        const std::size_t rest = cols > 2 ? cols - 2 : 0;  // columns k+2..
        rk[0] = rk[0] - (v[0] + v[0]) * w[0];
        if (rest) update_row(rk + 2, v[0] + v[0], w + 2, rest, true);
        if (next) std::fill(w1, w1 + cols - 1, 0.0);
        for (std::size_t i0 = 1; i0 < p; i0 += 4) {
            const std::size_t i1 = std::min(p, i0 + 4);
            for (std::size_t i = i0; i < i1; ++i) {
                double* row = rk + i * n;
                row[0] = row[0] - (v[i] + v[i]) * w[0];
                if (rest) update_row(row + 2, v[i] + v[i], w + 2, rest, true);
            }
            if (next) accumulate_rows(w1, v1 + (i0 - 1), rk + i0 * n + 1, n, i1 - i0, cols - 1);
        }

        // Q^T likewise, gathering u1 from rows k+1..
        update_row(qk, v[0], u, m, false);
        if (next) std::fill(u1, u1 + m, 0.0);
        for (std::size_t i0 = 1; i0 < p; i0 += 4) {
            const std::size_t i1 = std::min(p, i0 + 4);
            for (std::size_t i = i0; i < i1; ++i) update_row(qk + i * m, v[i], u, m, false);
            if (next) accumulate_rows(u1, v1 + (i0 - 1), qk + i0 * m, m, i1 - i0, m);
        }

        std::swap(v, v1);
        std::swap(w, w1);
        std::swap(u, u1);
        swapped = !swapped;
        prepared = next;
    }
    if (swapped) {
        std::swap(ws.v, ws.v_next);
        std::swap(ws.w, ws.w_next);
        std::swap(ws.u, ws.u_next);
    }
}

[[gnu::target("avx2")]] void householder_avx2(double* r, std::size_t m, std::size_t n, double* qt, QrWorkspace& ws,
                                              std::size_t k_begin, std::size_t k_end, bool& prepared) noexcept {
    householder_steps(r, m, n, qt, ws, k_begin, k_end, prepared);
}

void householder_portable(double* r, std::size_t m, std::size_t n, double* qt, QrWorkspace& ws, std::size_t k_begin,
                          std::size_t k_end, bool& prepared) noexcept {
    householder_steps(r, m, n, qt, ws, k_begin, k_end, prepared);
}

// Countdown units of work a kernel call covers before the caller looks for an interrupt: a few
// milliseconds of multiply-adds.
constexpr std::uint64_t kStretch = std::uint64_t{1} << 22;

}  // namespace

void householder_qr(double* r, std::size_t m, std::size_t n, double* qt, QrWorkspace& ws) {
    const std::size_t steps = std::min(m, n);
    const bool avx2 = has_avx2();
    InterruptCheck check;
    bool prepared = false;
    for (std::size_t k = 0; k < steps;) {
        // Step k updates m - k rows of R and of Q^T.
        std::size_t end = k;
        std::uint64_t work = 0;
        while (end < steps && work < kStretch) work += (m - end) * (n - end + m), ++end;
        if (avx2) householder_avx2(r, m, n, qt, ws, k, end, prepared);
        else householder_portable(r, m, n, qt, ws, k, end, prepared);
        check.tick(work / 4);
        k = end;
    }
    for (std::size_t i = 1; i < m; ++i) std::fill(r + i * n, r + i * n + std::min(i, n), 0.0);
}

Result<std::pair<ArrayF64, ArrayF64>> qr(const ArrayF64& a) {
    if (a.ndim() != 2) return Error{"QR decomposition requires a 2D matrix"};
    const std::size_t m = a.shape[0], n = a.shape[1];
    ArrayF64 r = a.clone();
    ArrayF64 qt = eye(m);  // the identity is its own transpose
    QrWorkspace ws;
    ws.reserve(m, n);
    householder_qr(r.data.data(), m, n, qt.data.data(), ws);
    return std::pair{transpose(qt), std::move(r)};
}

namespace {

// Column by column (left-looking): column j of L needs only the columns before it, so the sums of
// all its rows accumulate together, vectorised across rows, each still in ascending k. The
// diagonal values and hence the first failing pivot are the same as in a row-by-row sweep.
[[gnu::always_inline]] inline bool cholesky_body(const double* a, std::size_t n, double* lt, double* s, double* lj,
                                                 std::size_t j_begin, std::size_t j_end) noexcept {
    for (std::size_t j = j_begin; j < j_end; ++j) {
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

[[gnu::target("avx2")]] bool cholesky_avx2(const double* a, std::size_t n, double* lt, double* s, double* lj,
                                           std::size_t j_begin, std::size_t j_end) noexcept {
    return cholesky_body(a, n, lt, s, lj, j_begin, j_end);
}

bool cholesky_portable(const double* a, std::size_t n, double* lt, double* s, double* lj, std::size_t j_begin,
                       std::size_t j_end) noexcept {
    return cholesky_body(a, n, lt, s, lj, j_begin, j_end);
}

// Fills L by columns (lt[k * n + i] = L[i, k]); false at the first pivot that is not positive.
// Runs of columns go to the kernel, with a look for an interrupt between runs.
bool cholesky_columns(const double* a, std::size_t n, double* lt, double* s, double* lj) {
    const bool avx2 = has_avx2();
    InterruptCheck check;
    for (std::size_t j = 0; j < n;) {
        // Column j sums j products for each of its n - j rows.
        std::size_t end = j;
        std::uint64_t work = 0;
        while (end < n && work < kStretch) work += end * (n - end) + n, ++end;
        const bool ok = avx2 ? cholesky_avx2(a, n, lt, s, lj, j, end) : cholesky_portable(a, n, lt, s, lj, j, end);
        if (!ok) return false;
        check.tick(work / 4);
        j = end;
    }
    return true;
}

}  // namespace

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
