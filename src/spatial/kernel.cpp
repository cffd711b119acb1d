// The Gaussian kernel's negligibility cutoff, proven against the C library's exp.
#include "spatial/kernel.hpp"

#include <cmath>

namespace kestrum::spatial {

double gaussian_negligible_below() {
    // The least x with exp(x) >= 1e-10, found by stepping from log(1e-10). The C library's exp is
    // within one ulp, and 1000 ulps of x move the true exp by far more than that, so checking
    // every x within 1000 ulps of the edge proves the test for every x. The operands are read at
    // run time so that nothing is folded with the compiler's own exp.
    constexpr int kWindow = 1000;
    static volatile double threshold = 1e-10;
    const double t = threshold;
    const auto ok = [t](double x) { return std::exp(x) >= t; };
    double edge = std::log(t);
    while (ok(edge)) edge = std::nextafter(edge, -INFINITY);
    while (!ok(edge)) edge = std::nextafter(edge, INFINITY);
    double below = edge, above = edge;
    for (int i = 0; i < kWindow; ++i) {
        below = std::nextafter(below, -INFINITY);
        if (ok(below) || !ok(above)) return NAN;
        above = std::nextafter(above, INFINITY);
    }
    return edge;
}

}  // namespace kestrum::spatial
