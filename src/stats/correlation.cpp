// Pearson and Spearman correlation.
#include "stats/correlation.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "stats/ranking.hpp"

namespace kestrum::stats {

namespace {

void check_1d(const ArrayF64& a) { check_eq(a.ndim(), 1, "Array must be 1d"); }

// Mean deviations of x and y accumulated in one pass: three independent addition chains.
struct Moments {
    double sxx, syy, sxy;
};

Moments centred_moments(const double* x, const double* y, std::size_t n, double mx, double my) {
    Moments m{0.0, 0.0, 0.0};
    for (std::size_t k = 0; k < n; ++k) {
        const double dx = x[k] - mx;
        const double dy = y[k] - my;
        m.sxx += dx * dx;
        m.syy += dy * dy;
        m.sxy += dx * dy;
    }
    return m;
}

// Whether squared deviations as small as `sq` could be the rounding of the mean of n equal values
// alone: the mean is then within about n ulps of each value. NaN and overflow answer yes.
bool may_be_constant(double sq, double mean, std::size_t n) {
    const double nd = static_cast<double>(n);
    const double ulps = nd * std::fabs(mean) * 0x1p-50;
    return !(sq > nd * ulps * ulps);
}

bool is_constant(const double* v, std::size_t n) {
    for (std::size_t k = 1; k < n; ++k)
        if (!(v[k] == v[0])) return false;
    return true;
}

// Squared deviations summing to less than this may have lost bits to subnormal rounding.
constexpr double kTinyMoment = 0x1p-969;

// The power of two that brings the largest magnitude of finite data into [1, 2) when its sums
// overflowed or its squared deviations underflowed; 0 when they are sound (or the data holds
// NaN or infinities, whose results are what they are).
int rescale_exponent(const double* v, std::size_t n, double sum, double sq) {
    if (std::isfinite(sum) && std::isfinite(sq) && sq >= kTinyMoment) return 0;
    double largest = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        const double a = std::fabs(v[k]);
        if (!std::isfinite(a)) return 0;
        largest = a > largest ? a : largest;
    }
    if (largest == 0.0) return 0;
    int e = 0;
    std::frexp(largest, &e);  // largest = f * 2^e, f in [0.5, 1)
    return 1 - e;
}

// The same moments on the data scaled by 2^ex and 2^ey: scaling by a power of two changes no
// bit of the coefficient unless a value leaves the normal range, which is what it prevents.
Moments rescaled_moments(const double* x, const double* y, std::size_t n, int ex, int ey) {
    std::vector<double> xs(n), ys(n);
    double sx = -0.0, sy = -0.0;
    for (std::size_t k = 0; k < n; ++k) {
        xs[k] = std::ldexp(x[k], ex);
        ys[k] = std::ldexp(y[k], ey);
        sx += xs[k];
        sy += ys[k];
    }
    const double nd = static_cast<double>(n);
    return centred_moments(xs.data(), ys.data(), n, sx / nd, sy / nd);
}

}  // namespace

ArrayF64 ranks(const ArrayF64& a) {
    check_1d(a);
    ArrayF64 out = ArrayF64::uninit(Shape::d1(a.size()));
    fractional_ranks({a.data.data(), a.size()}, out.data.data());
    return out;
}

double pearson(const ArrayF64& x, const ArrayF64& y) {
    check_eq(x.size(), y.size(), "Arrays must have same length");
    check_1d(x);
    check_1d(y);
    const std::size_t n = x.size();
    const double* xs = x.data.data();
    const double* ys = y.data.data();
    if (n == 0) return 0.0;
    // The two sums are independent chains, so one loop runs both at the latency of one.
    double sx = -0.0, sy = -0.0;
    for (std::size_t k = 0; k < n; ++k) {
        sx += xs[k];
        sy += ys[k];
    }
    const double nd = static_cast<double>(n);
    const double mx = sx / nd, my = sy / nd;
    Moments m = centred_moments(xs, ys, n, mx, my);
    // A constant input has correlation 0, judged by its values: the mean of equal values need not
    // equal them, which leaves deviations of a few ulps.
    if ((may_be_constant(m.sxx, mx, n) && is_constant(xs, n)) || (may_be_constant(m.syy, my, n) && is_constant(ys, n)))
        return 0.0;
    const int ex = rescale_exponent(xs, n, sx, m.sxx);
    const int ey = rescale_exponent(ys, n, sy, m.syy);
    if (ex != 0 || ey != 0) m = rescaled_moments(xs, ys, n, ex, ey);
    const double rx = std::sqrt(m.sxx);
    const double ry = std::sqrt(m.syy);
    if (rx == 0.0 || ry == 0.0) return 0.0;
    // Rounding can carry |r| a few ulps past 1.
    return std::clamp(m.sxy / (rx * ry), -1.0, 1.0);
}

double spearman(const ArrayF64& x, const ArrayF64& y) {
    // Same checks, in the same order, as ranking each then correlating; done up front so a
    // mismatch fails before any sorting.
    check_1d(x);
    check_1d(y);
    check_eq(x.size(), y.size(), "Arrays must have same length");
    return pearson(ranks(x), ranks(y));
}

}  // namespace kestrum::stats
