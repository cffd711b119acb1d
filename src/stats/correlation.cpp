#include "stats/correlation.hpp"

#include <cmath>

#include "stats/sort_order.hpp"

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
    const std::size_t n = a.size();
    const Buffer<KeyedIndex> order = sort_order({a.data.data(), n});
    ArrayF64 out = ArrayF64::uninit(Shape::d1(n));
    double* r = out.data.data();
    // Each run of equal keys is one tie group; a NaN is a group of its own.
    for (std::size_t i = 0; i < n;) {
        const std::uint64_t key = order[i].key;
        std::size_t j = i + 1;
        if (key != kNaNKey)
            while (j < n && order[j].key == key) ++j;
        const double rank = static_cast<double>(i + 1 + j) * 0.5;
        for (std::size_t t = i; t < j; ++t) r[order[t].index] = rank;
        i = j;
    }
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
