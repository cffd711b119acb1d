// Bounds that overflow only where the distances they bound do. The bounds of boxes, balls and
// rings are built from sums (of squares) of coordinate differences, which can overflow although
// every point's distance is finite. Where a plain computation gives inf it is redone on
// coordinates scaled down by a power of two that no sum of finite values can overflow; scaling
// is exact except in the subnormal range, whose losses lie far below the magnitudes that
// overflowed.
#pragma once

#include <cmath>
#include <cstddef>

#include "spatial/metric.hpp"

namespace kestrum::spatial {

inline constexpr double kOverflowScale = 0x1p-560;

// The metric's distance between a * scale and b * scale.
template <DistanceMetric M>
double distance_scaled(const double* a, const double* b, std::size_t n, double scale) {
    double acc = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double t = std::fabs(a[i] * scale - b[i] * scale);
        if constexpr (M == DistanceMetric::Euclidean) acc += t * t;
        else if constexpr (M == DistanceMetric::Manhattan) acc += t;
        else acc = t > acc ? t : acc;
    }
    if constexpr (M == DistanceMetric::Euclidean) return std::sqrt(acc);
    else return acc;
}

// The square root of the sum of term(i, 1.0)^2 over i in [0, n), in order; where that sum
// overflows, the same over term(i, kOverflowScale) (the term of coordinates scaled by it), scaled
// back: inf only when the root itself exceeds the largest float.
template <class Term>
double root_sum_squares(std::size_t n, Term term) {
    double s = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double t = term(i, 1.0);
        s += t * t;
    }
    if (s != INFINITY) [[likely]]
        return std::sqrt(s);
    double r = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double t = term(i, kOverflowScale);
        r += t * t;
    }
    return std::sqrt(r) / kOverflowScale;
}

}  // namespace kestrum::spatial
