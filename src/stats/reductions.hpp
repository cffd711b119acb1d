// Whole-array reductions over the flat storage in row-major order.
#pragma once

#include "array/ndarray.hpp"

namespace kestrum::stats {

// Sequential sum from -0.0; -0.0 for an empty array.
double sum(const ArrayF64& a);
// Sum divided by the element count; NaN for an empty array.
double mean(const ArrayF64& a);
// Population variance, two passes (mean, then the sequential sum of squared deviations).
double var(const ArrayF64& a);
// Square root of `var` (named so it does not shadow the namespace `std`).
double std_dev(const ArrayF64& a);
// False at the first element equal to 0.0 (either sign); NaN counts as non-zero.
bool all(const ArrayF64& a);
// True at the first element not equal to 0.0 (NaN included).
bool any(const ArrayF64& a);

// Kernels shared with the other statistics.
double sequential_sum(const double* x, std::size_t n);
// Sequential sum of (x - m)^2 from -0.0.
double sequential_sum_sq_dev(const double* x, std::size_t n, double m);

}  // namespace kestrum::stats
