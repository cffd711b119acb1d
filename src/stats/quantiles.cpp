// Median and interpolated quantiles, found by selection rather than a full sort.
#include "stats/quantiles.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "stats/select.hpp"

namespace kestrum::stats {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

void check_probability(double q) {
    if (!(q >= 0.0 && q <= 1.0)) panic("Quantile must be between 0 and 1");
}

// A float position converted to an index the way a saturating cast does (negative -> 0).
std::size_t to_index(double x) {
    if (!(x > 0.0)) return 0;
    if (x >= 18446744073709551616.0) return std::numeric_limits<std::size_t>::max();
    return static_cast<std::size_t>(x);
}

// Where quantile q reads the sorted copy of n elements: ranks lo and hi and the weight of hi.
struct Position {
    std::size_t lo, hi;
    double frac;
};

Position position_of(double q, std::size_t n) {
    const double pos = q * static_cast<double>(n - 1);
    const std::size_t lo = to_index(std::floor(pos));
    const std::size_t hi = to_index(std::ceil(pos));
    check_index(hi, n);
    return {lo, hi, pos - static_cast<double>(lo)};
}

double interpolate(const Position& p, double at_lo, double at_hi) {
    if (p.lo == p.hi) return at_lo;
    return p.frac * at_hi + (1.0 - p.frac) * at_lo;
}

std::span<const double> storage(const ArrayF64& a) { return {a.data.data(), a.size()}; }

}  // namespace

double median(const ArrayF64& a) {
    const std::size_t n = a.size();
    if (n == 0) return kNaN;
    if (n % 2 == 1) {
        const std::size_t rank = n / 2;
        double v;
        values_at_ranks(storage(a), {&rank, 1}, {&v, 1});
        return v;
    }
    const std::array<std::size_t, 2> ranks{n / 2 - 1, n / 2};
    std::array<double, 2> v;
    values_at_ranks(storage(a), ranks, v);
    return (v[0] + v[1]) * 0.5;
}

double quantile(const ArrayF64& a, double q) {
    check_probability(q);
    const std::size_t n = a.size();
    if (n == 0) return kNaN;
    const Position p = position_of(q, n);
    const std::array<std::size_t, 2> ranks{p.lo, p.hi};
    std::array<double, 2> v;
    values_at_ranks(storage(a), std::span(ranks).first(p.lo == p.hi ? 1 : 2), std::span(v).first(p.lo == p.hi ? 1 : 2));
    return interpolate(p, v[0], p.lo == p.hi ? v[0] : v[1]);
}

ArrayF64 quantiles(const ArrayF64& a, std::span<const double> qs) {
    for (double q : qs) check_probability(q);
    const std::size_t n = a.size();
    ArrayF64 out = ArrayF64::uninit(Shape::d1(qs.size()));
    if (n == 0) {
        std::fill(out.data.begin(), out.data.end(), kNaN);
        return out;
    }
    std::vector<Position> positions;
    positions.reserve(qs.size());
    std::vector<std::size_t> ranks;
    ranks.reserve(2 * qs.size());
    for (double q : qs) {
        positions.push_back(position_of(q, n));
        ranks.push_back(positions.back().lo);
        ranks.push_back(positions.back().hi);
    }
    std::sort(ranks.begin(), ranks.end());
    ranks.erase(std::unique(ranks.begin(), ranks.end()), ranks.end());
    std::vector<double> values(ranks.size());
    values_at_ranks(storage(a), ranks, values);
    const auto value_at = [&](std::size_t rank) {
        return values[static_cast<std::size_t>(std::lower_bound(ranks.begin(), ranks.end(), rank) - ranks.begin())];
    };
    for (std::size_t i = 0; i < positions.size(); ++i)
        out.data[i] = interpolate(positions[i], value_at(positions[i].lo), value_at(positions[i].hi));
    return out;
}

}  // namespace kestrum::stats
