// Ball tree build and searches.
#include "spatial/ball_tree.hpp"

#include <algorithm>
#include <cmath>

#include "spatial/kde.hpp"
#include "spatial/leaf_scan.hpp"
#include "spatial/tree_build.hpp"

namespace kestrum::spatial {

// ---- build ----------------------------------------------------------------------------------

namespace {
// Mean of `count` values `stride` apart whose plain sum overflowed: summed scaled down by 2^64
// (no sum of finite values can then overflow), divided, scaled back.
double overflowed_mean(const double* x, std::size_t count, std::size_t stride) {
    double s = 0.0;
    for (std::size_t i = 0; i < count; ++i) s += x[i * stride] * 0x1p-64;
    return s / static_cast<double>(count) * 0x1p64;
}

// The largest distance from c to a row of [start, end) (NaN distances ignored), 0 for none.
template <DistanceMetric M, std::size_t D>
double covering_radius(const double* rows, std::size_t start, std::size_t end, std::size_t runtime_dim,
                       const double* c) {
    const std::size_t dim = dim_or<D>(runtime_dim);
    double radius = 0.0;
    for (std::size_t p = start; p < end; ++p) {
        const double d = distance<M>(rows + p * dim, c, dim);
        if (d > radius) radius = d;
    }
    return radius;
}
}  // namespace

void BallTree::keep_scaled_radius(std::size_t node, std::size_t start, std::size_t end) {
    const std::size_t dim = storage.dim;
    const double* rows = storage.data.data();
    const double* c = centroid(node);
    double scaled = 0.0;
    with_metric(storage.metric, [&]<DistanceMetric M>() {
        for (std::size_t p = start; p < end; ++p)
            scaled = max_num(scaled, distance_scaled<M>(rows + p * dim, c, dim, kOverflowScale));
    });
    scaled_radii.emplace_back(node, scaled);
}

double BallTree::radius_at(std::size_t node, double scale) const {
    const double r = nodes[node].radius;
    if (r != INFINITY || scale == 1.0) return r * scale;
    const auto it = std::lower_bound(scaled_radii.begin(), scaled_radii.end(), node,
                                     [](const auto& entry, std::size_t key) { return entry.first < key; });
    return it != scaled_radii.end() && it->first == node ? it->second : r;
}

Result<BallTree> BallTree::from_ndarray(const ArrayF64& array, std::uint64_t leaf_size, DistanceMetric metric) {
    return build_tree(BallTree{}, array, leaf_size, metric);
}

void BallTree::build(std::size_t expected_nodes) {
    const std::size_t n = storage.n_points;
    centroids.reserve(expected_nodes * storage.dim);
    BuildScratch scratch(n > storage.leaf_size ? n : 0, storage.dim);  // only splits use it
    build_recursive(0, n, scratch);
}

std::size_t BallTree::build_recursive(std::size_t start, std::size_t end, BuildScratch& scratch) {
    const std::size_t dim = storage.dim;
    double* rows = storage.data.data();
    scratch.check.tick((end - start) * (dim + 1));
    const std::size_t node = nodes.size();
    const std::size_t count = end - start;

    // Centroid: coordinates summed in position order from +0.0, then divided by the count (an
    // empty range gives NaN). The per-dimension extremes (NaN ignored) pick the split.
    centroids.resize(centroids.size() + dim);
    double* c = centroids.data() + node * dim;
    std::vector<double>& mn = scratch.lows;
    std::vector<double>& mx = scratch.highs;
    double radius = 0.0;
    with_dim(dim, [&]<std::size_t D>() {
        extremes_and_sums<D, true>(rows, start, end, dim, mn.data(), mx.data(), c);
        const double n = static_cast<double>(count);
        for (std::size_t d = 0; d < dim; ++d) {
            c[d] /= n;
            if (std::isinf(c[d])) c[d] = overflowed_mean(rows + start * dim + d, count, dim);
        }
        with_metric(storage.metric,
                    [&]<DistanceMetric M>() { radius = covering_radius<M, D>(rows, start, end, dim, c); });
    });
    nodes.push_back(BallNode{kNoChild, kNoChild, radius, start, end});
    if (radius == INFINITY) keep_scaled_radius(node, start, end);
    if (count <= storage.leaf_size) return node;

    const std::size_t mid =
        split_at_median(storage, scratch, start, end, widest_dimension(mn.data(), mx.data(), dim)).mid;
    const std::size_t left = build_recursive(start, mid, scratch);
    const std::size_t right = build_recursive(mid, end, scratch);
    nodes[node].left = left;
    nodes[node].right = right;
    return node;
}

// ---- searches -------------------------------------------------------------------------------
// Distances run over the query's length: a shorter query is compared on its leading
// coordinates; a longer one is refused before the walk (it could not be compared with a row).

template <DistanceMetric M, std::size_t D>
void BallTree::query_knn_recursive(std::size_t node, Query q, NeighbourHeap& heap, double d) const {
    const std::size_t len = dim_or<D>(q.len);
    for (;;) {
        const BallNode& n = nodes[node];
        if (heap.full() && bound_exceeds(d - n.radius, heap.top(), std::fabs(d) + n.radius, len)) return;
        if (n.is_leaf()) {
            offer_leaf<M, D>(storage, n.start, n.end, q, heap);
            return;
        }
        const double dl = distance<M>(q.x, centroid(n.left), len);
        const double dr = distance<M>(q.x, centroid(n.right), len);
        if (dl <= dr) {
            query_knn_recursive<M, D>(n.left, q, heap, dl);
            node = n.right;
            d = dr;
        } else {
            query_knn_recursive<M, D>(n.right, q, heap, dr);
            node = n.left;
            d = dl;
        }
    }
}

template <DistanceMetric M, std::size_t D, class Out>
void BallTree::query_radius_recursive(std::size_t node, Query q, Out& results, double radius, double limit) const {
    const std::size_t len = dim_or<D>(q.len);
    for (;;) {
        const BallNode& n = nodes[node];
        const double d = distance<M>(q.x, centroid(node), len);
        if (bound_exceeds(d - n.radius, radius, std::fabs(d) + n.radius, len)) return;
        if (n.is_leaf()) {
            collect_leaf<M, D, Out>(storage, n.start, n.end, q, limit, results);
            return;
        }
        query_radius_recursive<M, D, Out>(n.left, q, results, radius, limit);
        node = n.right;
    }
}

void BallTree::knn_into(Query q, NeighbourHeap& heap) const {
    check_query_fits(q, storage.dim);
    with_metric(storage.metric, [&]<DistanceMetric M>() {
        with_dim(q.len == storage.dim ? storage.dim : 0,
                 [&]<std::size_t D>() { query_knn_recursive<M, D>(0, q, heap, distance<M>(q.x, centroid(0), q.len)); });
    });
}

template <class Out>
void BallTree::radius_into(Query q, double radius, Out& out) const {
    check_query_fits(q, storage.dim);
    with_metric(storage.metric, [&]<DistanceMetric M>() {
        const double limit = point_limit<M>(radius);
        with_dim(q.len == storage.dim ? storage.dim : 0,
                 [&]<std::size_t D>() { query_radius_recursive<M, D, Out>(0, q, out, radius, limit); });
    });
}
template void BallTree::radius_into(Query, double, std::vector<std::uint64_t>&) const;
template void BallTree::radius_into(Query, double, RadiusCount&) const;
template void BallTree::radius_into(Query, double, WatchedResults&) const;

template struct DensityEstimates<BallTree>;

}  // namespace kestrum::spatial
