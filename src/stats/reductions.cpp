// Whole-array reductions: sum, mean, variance, standard deviation, all, any.
#include "stats/reductions.hpp"

#include <cmath>
#include <limits>

#include "stats/block_kernels.hpp"

namespace kestrum::stats {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

// The additions form one dependency chain and run at the add latency. The loads, subtractions
// and squares feeding it do not depend on the chain, so the out-of-order core computes them ahead
// and the chain never waits for anything but the previous addition. (Staging the squares in a
// block first measured slower: it serialises the block's computation with its additions.)
double sequential_sum(const double* x, std::size_t n) {
    double s = -0.0;
    for (std::size_t i = 0; i < n; ++i) s += x[i];
    return s;
}

double sequential_sum_sq_dev(const double* x, std::size_t n, double m) {
    double s = -0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double d = x[i] - m;
        s += d * d;
    }
    return s;
}

double sum(const ArrayF64& a) { return sequential_sum(a.data.data(), a.size()); }

double mean(const ArrayF64& a) {
    const std::size_t n = a.size();
    if (n == 0) return kNaN;
    return sequential_sum(a.data.data(), n) / static_cast<double>(n);
}

double var(const ArrayF64& a) {
    const std::size_t n = a.size();
    if (n == 0) return kNaN;
    const double m = mean(a);
    return sequential_sum_sq_dev(a.data.data(), n, m) / static_cast<double>(n);
}

double std_dev(const ArrayF64& a) { return std::sqrt(var(a)); }

bool all(const ArrayF64& a) { return !any_zero(a.data.data(), a.size()); }

bool any(const ArrayF64& a) { return any_nonzero(a.data.data(), a.size()); }

}  // namespace kestrum::stats
