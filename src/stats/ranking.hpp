// Fractional ranks of float64 values: 1-based positions in ascending order, ties averaged.
#pragma once

#include <span>

namespace kestrum::stats {

// out[i] = the rank of data[i]: for the run of equal values occupying sorted positions i..j-1
// (0-based, j exclusive) every member gets (i + 1 + j) * 0.5. 0.0 and -0.0 are equal; each NaN
// is a run of its own, placed after all numbers in storage order. out has data.size() elements.
void fractional_ranks(std::span<const double> data, double* out);

}  // namespace kestrum::stats
