// Pearson and Spearman correlation of two one-dimensional arrays.
#pragma once

#include "array/ndarray.hpp"

namespace kestrum::stats {

// Fractional 1-based ranks of a 1-D array (ties get the mean of their positions), in input order.
ArrayF64 ranks(const ArrayF64& a);
// Pearson coefficient of x and y; 0.0 when either is constant or both are empty.
double pearson(const ArrayF64& x, const ArrayF64& y);
// Pearson coefficient of the ranks of x and y.
double spearman(const ArrayF64& x, const ArrayF64& y);

}  // namespace kestrum::stats
