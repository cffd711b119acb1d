// Pearson and Spearman correlation.
#include "stats/correlation.hpp"

#include <cmath>

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
    // The two sums are independent chains, so one loop runs both at the latency of one.
    double sx = -0.0, sy = -0.0;
    for (std::size_t k = 0; k < n; ++k) {
        sx += xs[k];
        sy += ys[k];
    }
    if (n == 0) return 0.0;
    const double nd = static_cast<double>(n);
    const Moments m = centred_moments(xs, ys, n, sx / nd, sy / nd);
    const double rx = std::sqrt(m.sxx);
    const double ry = std::sqrt(m.syy);
    if (rx == 0.0 || ry == 0.0) return 0.0;
    return m.sxy / (rx * ry);
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
