// Order statistics of all elements of an array (its shape is ignored), defined on the ascending
// sorted copy of the flat storage with linear interpolation between neighbouring ranks.
#pragma once

#include <span>

#include "array/ndarray.hpp"

namespace kestrum::stats {

// Middle element, or the mean of the two middle elements; NaN for an empty array.
double median(const ArrayF64& a);
// Interpolated quantile; panics "Quantile must be between 0 and 1" unless 0 <= q <= 1 (checked
// before anything else); NaN for an empty array.
double quantile(const ArrayF64& a, double q);
// One quantile per entry of `qs`, as a 1-D array, from a single selection over the data.
ArrayF64 quantiles(const ArrayF64& a, std::span<const double> qs);

}  // namespace kestrum::stats
