// k-d tree build, box bounds and searches.
#include "spatial/kd_tree.hpp"

#include <algorithm>
#include <cmath>

#include "spatial/kde.hpp"
#include "spatial/leaf_scan.hpp"
#include "spatial/tree_build.hpp"

namespace kestrum::spatial {

// ---- build ----------------------------------------------------------------------------------


Result<KDTree> KDTree::from_ndarray(const ArrayF64& array, std::uint64_t leaf_size, DistanceMetric metric) {
    return build_tree(KDTree{}, array, leaf_size, metric);
}

void KDTree::build(std::size_t expected_nodes) {
    const std::size_t n = storage.n_points;
    if (storage.dim > kInlineBoxDim) boxes.reserve(expected_nodes * 2 * storage.dim);
    BuildScratch scratch(n > storage.leaf_size ? n : 0, storage.dim);  // only splits use it
    build_recursive(0, n, scratch);
}

std::size_t KDTree::build_recursive(std::size_t start, std::size_t end, BuildScratch& scratch) {
    const std::size_t dim = storage.dim;
    double* rows = storage.data.data();
    const std::size_t node = nodes.size();

    nodes.push_back(KDNode{kNoChild, kNoChild, start, end, 0, 0.0, false, {}});
    if (storage.metric == DistanceMetric::Chebyshev) nodes[node].unbounded = any_nan(rows, start, end, dim);
    if (dim > kInlineBoxDim) boxes.resize(boxes.size() + 2 * dim);
    double* mn = dim > kInlineBoxDim ? boxes.data() + node * 2 * dim : nodes[node].inline_box;
    double* mx = mn + dim;
    with_dim(dim, [&]<std::size_t D>() { extremes_and_sums<D, false>(rows, start, end, dim, mn, mx, nullptr); });
    const std::size_t split_dim = widest_dimension(mn, mx, dim);
    nodes[node].split_dim = split_dim;

    const std::size_t count = end - start;
    if (count <= storage.leaf_size) return node;
    const MedianSplit split = split_at_median(storage, scratch, start, end, split_dim);
    nodes[node].split_value = split.key;
    const std::size_t mid = split.mid;
    const std::size_t left = build_recursive(start, mid, scratch);
    const std::size_t right = build_recursive(mid, end, scratch);
    nodes[node].left = left;
    nodes[node].right = right;
    return node;
}

// ---- bounds ---------------------------------------------------------------------------------

namespace {
// How far x lies outside [mn, mx]: mn - x below, x - mx above, else 0 (also where either
// difference is NaN, as for a NaN coordinate or an infinite one at an infinite bound). Written
// without branches: the walks test every visited box, and which side a query lies on is
// unpredictable.
inline double box_gap(double x, double mn, double mx) {
    const double below = mn - x;
    const double above = x - mx;
    double gap = below > 0.0 ? below : 0.0;
    gap = above > gap ? above : gap;
    return gap;
}
}  // namespace

template <DistanceMetric M, std::size_t D>
double KDTree::reduced_box_distance(std::size_t node, const double* q) const {
    const std::size_t dim = dim_or<D>(storage.dim);
    const double* mn = bbox_min<D>(node);
    const double* mx = bbox_max<D>(node);
    if constexpr (M == DistanceMetric::Chebyshev) {
        double m = 0.0;
        if (nodes[node].unbounded) return m;
        for (std::size_t d = 0; d < dim; ++d) {
            const double gap = box_gap(q[d], mn[d], mx[d]);
            m = gap > m ? gap : m;
        }
        return m;
    } else {
        // A dimension where the query lies inside the box adds +0.0, which leaves the sum as
        // it was.
        double s = 0.0;
        for (std::size_t d = 0; d < dim; ++d) {
            const double t = box_gap(q[d], mn[d], mx[d]);
            s += t * t;
        }
        return s;
    }
}

template <DistanceMetric M, std::size_t D>
double KDTree::box_distance(std::size_t node, const double* q) const {
    const double r = reduced_box_distance<M, D>(node, q);
    if constexpr (M == DistanceMetric::Chebyshev) return r;
    else return std::sqrt(r);
}

// A distance limit in the units of `reduced_box_distance`.
template <DistanceMetric M>
inline double box_limit(double limit) {
    if constexpr (M == DistanceMetric::Chebyshev) return limit;
    else return sqrt_bound(limit);
}

double KDTree::kde_span(std::size_t node) const {
    const double* mn = bbox_min(node);
    const double* mx = bbox_max(node);
    double s = 0.0;
    for (std::size_t d = 0; d < storage.dim; ++d) {
        const double t = mx[d] - mn[d];
        s += t * t;
    }
    return std::sqrt(s);
}

// Dmin: to the query clamped into the box; Dmax: to the farthest corner. Euclidean, except in a
// Chebyshev tree, where both are Chebyshev distances (the Euclidean ones could exceed every
// true distance, as for the box bound).
template <DistanceMetric M, std::size_t D>
std::pair<double, double> KDTree::kde_extremes(std::size_t node, const double* q, const NodeBound&) const {
    const double* mn = bbox_min<D>(node);
    const double* mx = bbox_max<D>(node);
    const std::size_t dim = dim_or<D>(storage.dim);
    // Per-dimension gaps combined as the distance does: a root sum of squares, or a running
    // maximum that ignores NaN.
    auto combine = [](double acc, double t) {
        if constexpr (M == DistanceMetric::Chebyshev) return std::fmax(acc, std::fabs(t));
        else return acc + t * t;
    };
    auto finish = [](double acc) {
        if constexpr (M == DistanceMetric::Chebyshev) return acc;
        else return std::sqrt(acc);
    };
    double near = 0.0;
    for (std::size_t d = 0; d < dim; ++d) near = combine(near, q[d] - clamp_checked(q[d], mn[d], mx[d]));
    double far = 0.0;
    for (std::size_t d = 0; d < dim; ++d) {
        const double corner = std::fabs(q[d] - mn[d]) > std::fabs(q[d] - mx[d]) ? mn[d] : mx[d];
        far = combine(far, q[d] - corner);
    }
    return {finish(near), finish(far)};
}

// ---- searches -------------------------------------------------------------------------------
// D > 0: the query has exactly D = dim coordinates. D = 0: any length; the box test reads dim
// coordinates and the distances read the query's length, each failing where it would read past
// its operand.

template <DistanceMetric M, std::size_t D>
void KDTree::query_knn_recursive(std::size_t node, Query q, NeighbourHeap& heap) const {
    for (;;) {
        const KDNode& n = nodes[node];
        if (heap.full()) {
            if constexpr (D == 0) {
                if (q.len < storage.dim) panic_bounds(q.len, q.len);
            }
            const double box = reduced_box_distance<M, D>(node, q.x);
            if constexpr (M == DistanceMetric::Chebyshev) {
                if (box > heap.top()) return;
            } else {
                if (box > heap.reject_sq()) return;
            }
        }
        if (n.is_leaf()) {
            if (n.start == n.end) return;
            if constexpr (D == 0) check_query_fits(q, storage.dim);
            offer_leaf<M, D>(storage, n.start, n.end, q, heap);
            return;
        }
        if constexpr (D == 0) {
            if (n.split_dim >= q.len) panic_bounds(q.len, n.split_dim);
        }
        // A NaN coordinate goes right.
        const bool left_first = q.x[n.split_dim] <= n.split_value;
        query_knn_recursive<M, D>(left_first ? n.left : n.right, q, heap);
        node = left_first ? n.right : n.left;
    }
}

template <DistanceMetric M, std::size_t D, class Out>
void KDTree::query_radius_recursive(std::size_t node, Query q, Out& results,
                                    double box_limit, double point_limit) const {
    for (;;) {
        const KDNode& n = nodes[node];
        if constexpr (D == 0) {
            if (q.len < storage.dim) panic_bounds(q.len, q.len);
        }
        if (reduced_box_distance<M, D>(node, q.x) > box_limit) return;
        if (n.is_leaf()) {
            if (n.start == n.end) return;
            if constexpr (D == 0) check_query_fits(q, storage.dim);
            collect_leaf<M, D, Out>(storage, n.start, n.end, q, point_limit, results);
            return;
        }
        query_radius_recursive<M, D, Out>(n.left, q, results, box_limit, point_limit);
        node = n.right;
    }
}

void KDTree::knn_into(Query q, NeighbourHeap& heap) const {
    with_metric(storage.metric, [&]<DistanceMetric M>() {
        with_dim(q.len == storage.dim ? storage.dim : 0,
                 [&]<std::size_t D>() { query_knn_recursive<M, D>(0, q, heap); });
    });
}

template <class Out>
void KDTree::radius_into(Query q, double radius, Out& out) const {
    with_metric(storage.metric, [&]<DistanceMetric M>() {
        const double box = box_limit<M>(radius);
        const double point = spatial::point_limit<M>(radius);
        with_dim(q.len == storage.dim ? storage.dim : 0,
                 [&]<std::size_t D>() { query_radius_recursive<M, D, Out>(0, q, out, box, point); });
    });
}
template void KDTree::radius_into(Query, double, std::vector<std::uint64_t>&) const;
template void KDTree::radius_into(Query, double, RadiusCount&) const;

std::vector<std::uint64_t> KDTree::query_knn(Query q, std::uint64_t k) const {
    if (k == 0 || storage.n_points == 0) return {};
    NeighbourHeap heap(k, storage.n_points);
    knn_into(q, heap);
    return heap.sorted_indices();
}

std::vector<std::uint64_t> KDTree::query_radius(Query q, double radius) const {
    std::vector<std::uint64_t> results;
    results.reserve(std::min<std::uint64_t>(storage.n_points, 64));
    radius_into(q, radius, results);
    return results;
}

template struct DensityEstimates<KDTree>;

}  // namespace kestrum::spatial
