// Median selection and the re-laying of a node's points around it.
#include "spatial/median_split.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kestrum::spatial {

void select_rank(KeyedPosition* items, std::size_t count, std::size_t m) {
    if (m >= count) return;
    std::nth_element(items, items + m, items + count,
                     [](const KeyedPosition& a, const KeyedPosition& b) { return a.key < b.key; });
}

void select_rank_nan_last(KeyedPosition* items, std::size_t count, std::size_t m) {
    if (m >= count) return;
    // A total order on doubles with NaN above every number: a strict weak order, so the
    // standard selection stays within bounds whatever the keys.
    std::nth_element(items, items + m, items + count, [](const KeyedPosition& a, const KeyedPosition& b) {
        if (std::isnan(b.key)) return !std::isnan(a.key);
        return a.key < b.key;
    });
}

namespace {
template <std::size_t D>
void apply_order_dim(const KeyedPosition* items, std::size_t start, std::size_t count, std::size_t runtime_dim,
                     std::uint64_t* indices, double* rows, std::uint64_t* scratch_indices, double* scratch_rows) {
    const std::size_t dim = dim_or<D>(runtime_dim);
    for (std::size_t j = 0; j < count; ++j) {
        const std::size_t from = items[j].pos;
        scratch_indices[j] = indices[from];
        const double* src = rows + from * dim;
        double* dst = scratch_rows + j * dim;
        for (std::size_t d = 0; d < dim; ++d) dst[d] = src[d];
    }
    std::memcpy(indices + start, scratch_indices, count * sizeof(std::uint64_t));
    if (dim) std::memcpy(rows + start * dim, scratch_rows, count * dim * sizeof(double));
}
}  // namespace

void apply_order(const KeyedPosition* items, std::size_t start, std::size_t count, std::size_t dim,
                 std::uint64_t* indices, double* rows, std::uint64_t* scratch_indices, double* scratch_rows) {
    with_dim(dim, [&]<std::size_t D>() {
        apply_order_dim<D>(items, start, count, dim, indices, rows, scratch_indices, scratch_rows);
    });
}

std::size_t widest_dimension(const double* mn, const double* mx, std::size_t dim) {
    std::size_t split_dim = 0;
    double best = 0.0;
    for (std::size_t d = 0; d < dim; ++d) {
        const double spread = mx[d] - mn[d];
        if (spread > best) {
            best = spread;
            split_dim = d;
        }
    }
    return split_dim;
}

MedianSplit split_at_median(PointStorage& storage, BuildScratch& scratch, std::size_t start, std::size_t end,
                            std::size_t split_dim) {
    const std::size_t dim = storage.dim;
    if (dim == 0) panic_bounds(0, 0);
    double* rows = storage.data.data();
    const std::size_t count = end - start;
    KeyedPosition* keyed = scratch.keyed.data();
    for (std::size_t j = 0; j < count; ++j) {
        const double key = rows[(start + j) * dim + split_dim];
        if (std::isnan(key)) panic_unwrap_none();
        keyed[j] = {key, start + j};
    }
    // Polls between the phases of a large node, each a pass over its points.
    scratch.check.tick(count);
    const std::size_t m = count / 2;
    select_rank(keyed, count, m);
    scratch.check.tick(4 * count);
    apply_order(keyed, start, count, dim, storage.indices.data(), rows, scratch.indices.data(), scratch.rows.data());
    scratch.check.tick(count * dim);

    std::size_t mid = start + m;
    if (count < 2) mid = start + 1;
    if (mid == end) mid = end - 1;
    return {mid, keyed[m].key};
}

}  // namespace kestrum::spatial
