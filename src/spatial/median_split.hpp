// Splitting a node's points at a median rank: selection by key, re-laying rows and indices in
// the selected order, and the working space a build reuses for every node.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/interrupt.hpp"
#include "spatial/storage.hpp"

namespace kestrum::spatial {

struct KeyedPosition {
    double key;
    std::uint64_t pos;  // storage position before the split
};

// Moves the entry of rank m into place m with no greater key before it and no smaller after.
// Keys must not be NaN (callers check); plain less-than is then a strict weak order.
void select_rank(KeyedPosition* items, std::size_t count, std::size_t m);

// As select_rank, but NaN keys order after every number: memory-safe for any input.
void select_rank_nan_last(KeyedPosition* items, std::size_t count, std::size_t m);

// Re-lays positions [start, start + count) of `indices` and the matching rows of `rows` in the
// order of `items` (whose `pos` fields name the old positions). `scratch_rows` must hold
// count * dim values and `scratch_indices` count values.
void apply_order(const KeyedPosition* items, std::size_t start, std::size_t count, std::size_t dim,
                 std::uint64_t* indices, double* rows, std::uint64_t* scratch_indices, double* scratch_rows);

// Working space of a build, sized once for the root range and reused by every node.
struct BuildScratch {
    std::vector<KeyedPosition> keyed;
    std::vector<std::uint64_t> indices;
    std::vector<double> rows;
    std::vector<double> lows, highs;  // per-dimension extremes of the node being built
    InterruptCheck check;             // ticked per node with the node's coordinate count

    BuildScratch(std::size_t n_points, std::size_t dim)
            : keyed(n_points), indices(n_points), rows(n_points * dim), lows(dim), highs(dim) {}
};

// Per dimension over rows [start, end): the extremes into mn / mx (+inf / -inf where no value
// counts; a NaN never passes either test) and, with Sums, the sums in position order from +0.0
// into `sum`. With D known (see with_dim) the running values stay in registers.
template <std::size_t D, bool Sums>
void extremes_and_sums(const double* rows, std::size_t start, std::size_t end, std::size_t runtime_dim, double* mn,
                       double* mx, double* sum) {
    const std::size_t dim = dim_or<D>(runtime_dim);
    if constexpr (D != 0) {
        double lo[D], hi[D], s[D];
        for (std::size_t d = 0; d < D; ++d) {
            lo[d] = INFINITY;
            hi[d] = -INFINITY;
            s[d] = 0.0;
        }
        for (const double* row = rows + start * D; row != rows + end * D; row += D)
            for (std::size_t d = 0; d < D; ++d) {
                hi[d] = row[d] > hi[d] ? row[d] : hi[d];
                lo[d] = row[d] < lo[d] ? row[d] : lo[d];
                if constexpr (Sums) s[d] += row[d];
            }
        std::copy(lo, lo + D, mn);
        std::copy(hi, hi + D, mx);
        if constexpr (Sums) std::copy(s, s + D, sum);
    } else {
        std::fill(mn, mn + dim, INFINITY);
        std::fill(mx, mx + dim, -INFINITY);
        if constexpr (Sums) std::fill(sum, sum + dim, 0.0);
        for (const double* row = rows + start * dim; row != rows + end * dim; row += dim)
            for (std::size_t d = 0; d < dim; ++d) {
                const double x = row[d];
                if (x > mx[d]) mx[d] = x;
                if (x < mn[d]) mn[d] = x;
                if constexpr (Sums) sum[d] += x;
            }
    }
}

// The dimension of widest spread (max - min), the first one on ties; 0 when no spread is positive.
std::size_t widest_dimension(const double* mn, const double* mx, std::size_t dim);

struct MedianSplit {
    std::size_t mid;  // first position of the right child
    double key;       // the key at the median rank
};

// Orders [start, end) around the median rank (count / 2) of coordinate `split_dim`, re-laying
// indices and rows; a NaN key is the "absent value" panic of the k-d and ball builds.
MedianSplit split_at_median(PointStorage& storage, BuildScratch& scratch, std::size_t start, std::size_t end,
                            std::size_t split_dim);

}  // namespace kestrum::spatial
