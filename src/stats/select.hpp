// Order statistics without sorting everything.
//
// The reference order of a flat storage is its ascending order in which equal values keep their
// storage order and NaNs follow all numbers, themselves in storage order. Selection finds the
// values at a few ranks of that order in O(n); the result is bit-identical to what a full sort
// would hold at those ranks (including the sign of a zero and the payload of a NaN).
#pragma once

#include <cstddef>
#include <span>

namespace kestrum::stats {

// out[t] = value at rank ranks[t] of the reference order of `data`. `ranks` must be strictly
// ascending and below data.size(); `out` has the same length as `ranks`.
void values_at_ranks(std::span<const double> data, std::span<const std::size_t> ranks, std::span<double> out);

}  // namespace kestrum::stats
