// When a search may drop a node: the rounding tolerance of triangle-inequality bounds, the nodes
// whose NaN coordinates void a Chebyshev bound, and the checked clamp of the box extremes.
#pragma once

#include <cmath>
#include <cstddef>

namespace kestrum::spatial {

// Larger of two floats where a NaN operand is ignored.
inline double max_num(double a, double b) { return std::fmax(a, b); }

// A lower bound derived through the triangle inequality (ball and vantage-point trees) carries
// the rounding of the distances it is made of, so it may exceed a true distance by a few ulps.
// A node is pruned only when its bound exceeds the limit by more than that error, which keeps a
// point lying exactly on the limit from being lost; `scale` is the sum of the magnitudes the
// bound was computed from. A NaN or infinite scale never prunes.
inline bool bound_exceeds(double bound, double limit, double scale, std::size_t dim) {
    const double error = (scale + std::fabs(limit)) * (static_cast<double>(dim) + 4.0) * 0x1p-52;
    return bound > limit + error;
}

// Whether any coordinate of the rows [start, end) is NaN. The Chebyshev metric ignores NaN
// coordinates, so such points can lie closer than a node's box or ring bound says; nodes that
// hold them are never pruned under that metric.
bool any_nan(const double* rows, std::size_t start, std::size_t end, std::size_t dim);

// "min > max, or either was NaN. min = {}, max = {}" for clamping into an inverted interval.
[[noreturn]] void panic_clamp(double min, double max);

inline double clamp_checked(double x, double min, double max) {
    if (!(min <= max)) [[unlikely]]
        panic_clamp(min, max);
    if (x < min) x = min;
    if (x > max) x = max;
    return x;
}

}  // namespace kestrum::spatial
