// k-d tree build, box bounds and searches.
#include "spatial/kd_tree.hpp"

#include <algorithm>
#include <cmath>

#include "spatial/kde.hpp"
#include "spatial/leaf_scan.hpp"
#include "spatial/overflow_safe.hpp"
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
    scratch.check.tick((end - start) * (dim + 1));
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
// difference is NaN, as for a NaN coordinate or an infinite one at an infinite bound), for
// coordinates scaled by `scale`. Written without branches: the walks test every visited box, and
// which side a query lies on is unpredictable.
inline double box_gap(double x, double mn, double mx, double scale = 1.0) {
    const double below = mn * scale - x * scale;
    const double above = x * scale - mx * scale;
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
    } else if constexpr (M == DistanceMetric::Manhattan) {
        // The sum of the gaps bounds a Manhattan distance more tightly than the Euclidean box
        // distance, and overflows only where every point's distance does.
        double s = 0.0;
        for (std::size_t d = 0; d < dim; ++d) s += box_gap(q[d], mn[d], mx[d]);
        return s;
    } else {
        // A dimension where the query lies inside the box adds +0.0, which leaves the sum as
        // it was. Where this sum overflows, so does every point's sum of squares.
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
    if constexpr (M == DistanceMetric::Chebyshev) return reduced_box_distance<M, D>(node, q);
    const double* mn = bbox_min<D>(node);
    const double* mx = bbox_max<D>(node);
    return root_sum_squares(dim_or<D>(storage.dim),
                            [&](std::size_t d, double scale) { return box_gap(q[d], mn[d], mx[d], scale); });
}

// A distance limit in the units of `reduced_box_distance`.
template <DistanceMetric M>
inline double box_limit(double limit) {
    if constexpr (M == DistanceMetric::Euclidean) return sqrt_bound(limit);
    else return limit;
}

double KDTree::kde_span(std::size_t node) const {
    const double* mn = bbox_min(node);
    const double* mx = bbox_max(node);
    return root_sum_squares(storage.dim, [&](std::size_t d, double scale) { return mx[d] * scale - mn[d] * scale; });
}

// Dmin: to the query clamped into the box; Dmax: to the farthest corner. Euclidean, except in a
// Chebyshev tree, where both are Chebyshev distances (the Euclidean ones could exceed every
// true distance, as for the box bound).
template <DistanceMetric M, std::size_t D>
std::pair<double, double> KDTree::kde_extremes(std::size_t node, const double* q, const NodeBound&) const {
    const double* mn = bbox_min<D>(node);
    const double* mx = bbox_max<D>(node);
    const std::size_t dim = dim_or<D>(storage.dim);
    auto near = [&](std::size_t d, double scale) { return q[d] * scale - clamp_checked(q[d], mn[d], mx[d]) * scale; };
    auto far = [&](std::size_t d, double scale) {
        const double corner = std::fabs(q[d] - mn[d]) > std::fabs(q[d] - mx[d]) ? mn[d] : mx[d];
        return q[d] * scale - corner * scale;
    };
    if constexpr (M == DistanceMetric::Chebyshev) {
        // Running maxima that ignore NaN.
        double dmin = 0.0, dmax = 0.0;
        for (std::size_t d = 0; d < dim; ++d) dmin = std::fmax(dmin, std::fabs(near(d, 1.0)));
        for (std::size_t d = 0; d < dim; ++d) dmax = std::fmax(dmax, std::fabs(far(d, 1.0)));
        return {dmin, dmax};
    } else {
        return {root_sum_squares(dim, near), root_sum_squares(dim, far)};
    }
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
            if constexpr (M == DistanceMetric::Euclidean) {
                if (box > heap.reject_sq()) return;
            } else {
                if (box > heap.top()) return;
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
void KDTree::query_radius_recursive(std::size_t node, Query q, Out& results, double box_limit,
                                    double point_limit) const {
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
template void KDTree::radius_into(Query, double, WatchedResults&) const;

template struct DensityEstimates<KDTree>;

}  // namespace kestrum::spatial
