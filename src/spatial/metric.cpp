// The run-time metric dispatch and the exact square-root bound of Euclidean searches.
#include "spatial/metric.hpp"

#include <bit>

namespace kestrum::spatial {

double distance(DistanceMetric metric, const double* a, const double* b, std::size_t n) {
    return with_metric(metric, [&]<DistanceMetric M>() { return distance<M>(a, b, n); });
}

namespace {
// Neighbouring doubles of a non-negative, non-NaN value (the bit patterns of such values are
// ordered like the values).
double next_up(double x) { return std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) + 1); }
double next_down(double x) { return std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) - 1); }
}  // namespace

double sqrt_bound(double t) {
    if (std::isnan(t)) return t;
    if (t < 0.0) return -INFINITY;
    if (t == INFINITY) return INFINITY;
    double x = t * t;  // within an ulp or two of the answer
    while (x > 0.0 && std::sqrt(x) > t) x = next_down(x);
    while (std::sqrt(next_up(x)) <= t) x = next_up(x);
    return x;
}

}  // namespace kestrum::spatial
