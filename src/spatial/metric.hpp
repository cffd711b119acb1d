// Distance metrics between points, the squared form Euclidean searches compare, and the
// dispatch that turns a metric or a small dimension into a compile-time constant.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace kestrum::spatial {

enum class DistanceMetric : std::uint8_t { Euclidean = 0, Manhattan = 1, Chebyshev = 2 };

// Euclidean: the sum of squares whose square root is the distance; other metrics: the distance.
// Searches compare this against a bound and take the square root only for points they keep.
// The loop runs over the first n coordinates of both operands; sums start at +0.0 so an empty
// operand gives 0.0 in every metric.
template <DistanceMetric M>
inline double reduced_distance(const double* a, const double* b, std::size_t n) {
    if constexpr (M == DistanceMetric::Euclidean) {
        double s = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double t = a[i] - b[i];
            s += t * t;
        }
        return s;
    } else if constexpr (M == DistanceMetric::Manhattan) {
        double s = 0.0;
        for (std::size_t i = 0; i < n; ++i) s += std::fabs(a[i] - b[i]);
        return s;
    } else {
        // NaN terms never replace the running maximum, so NaN coordinates are ignored.
        double m = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double t = std::fabs(a[i] - b[i]);
            m = t > m ? t : m;
        }
        return m;
    }
}

template <DistanceMetric M>
inline double distance(const double* a, const double* b, std::size_t n) {
    if constexpr (M == DistanceMetric::Euclidean) return std::sqrt(reduced_distance<M>(a, b, n));
    else return reduced_distance<M>(a, b, n);
}

double distance(DistanceMetric metric, const double* a, const double* b, std::size_t n);

// The largest x with sqrt(x) <= t (square root is correctly rounded and monotone), so that
// sqrt(s) <= t exactly when s <= sqrt_bound(t), and sqrt(s) > t exactly when s > sqrt_bound(t).
// -inf for a negative t, NaN for NaN (every comparison then fails, as it would with t).
double sqrt_bound(double t);

// A radius in the units of `reduced_distance`: d <= radius exactly when reduced <= point_limit.
template <DistanceMetric M>
inline double point_limit(double radius) {
    if constexpr (M == DistanceMetric::Euclidean) return sqrt_bound(radius);
    else return radius;
}

// Calls f.template operator()<D>() with the dimension as a compile-time constant for the common
// small dimensions, D = 0 (read it at run time) otherwise.
template <class F>
decltype(auto) with_dim(std::size_t dim, F&& f) {
    switch (dim) {
        case 2: return f.template operator()<2>();
        case 3: return f.template operator()<3>();
        default: return f.template operator()<0>();
    }
}

template <std::size_t D>
inline std::size_t dim_or(std::size_t runtime) {
    return D ? D : runtime;
}

// Calls f.template operator()<M>() with the metric as a compile-time constant.
template <class F>
decltype(auto) with_metric(DistanceMetric metric, F&& f) {
    switch (metric) {
        case DistanceMetric::Manhattan: return f.template operator()<DistanceMetric::Manhattan>();
        case DistanceMetric::Chebyshev: return f.template operator()<DistanceMetric::Chebyshev>();
        default: return f.template operator()<DistanceMetric::Euclidean>();
    }
}

}  // namespace kestrum::spatial
