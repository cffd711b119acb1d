// Vantage-point tree build and searches.
#include "spatial/vp_tree.hpp"

#include <algorithm>
#include <cmath>

#include "random/generator.hpp"
#include "spatial/kde.hpp"
#include "spatial/leaf_scan.hpp"
#include "spatial/tree_build.hpp"

namespace kestrum::spatial {

// ---- build ----------------------------------------------------------------------------------

Result<VPTree> VPTree::from_ndarray(const ArrayF64& array, std::uint64_t leaf_size, DistanceMetric metric,
                                    bool random_selection) {
    VPTree t;
    t.random_selection = random_selection;
    return build_tree(std::move(t), array, leaf_size, metric);
}

void VPTree::build(std::size_t expected_nodes) {
    vantages.reserve(expected_nodes * storage.dim);
    BuildScratch scratch(storage.n_points, storage.dim);
    // One clock-seeded generator draws every vantage point of a random build.
    Generator rng = random_selection ? Generator::from_clock() : Generator{};
    build_recursive(0, storage.n_points, scratch, rng);
}

std::size_t VPTree::build_recursive(std::size_t start, std::size_t end, BuildScratch& scratch, Generator& rng) {
    const std::size_t dim = storage.dim;
    double* rows = storage.data.data();
    std::uint64_t* indices = storage.indices.data();
    const std::size_t node = nodes.size();
    const std::size_t count = end - start;

    // Fewer than two points: nothing to measure against; the single point (if any) is the
    // vantage point and the bound reduces to the exact distance to it.
    if (count < 2) {
        if (count == 1) vantages.insert(vantages.end(), rows + start * dim, rows + (start + 1) * dim);
        else vantages.resize(vantages.size() + dim, 0.0);
        nodes.push_back(VPNode{kNoChild, kNoChild, start, end, 0.0, 0.0, 0.0, false});
        return node;
    }

    // A random vantage point is the draw of randint(start, end).
    const std::size_t f = random_selection ? start + rng.next_below(count) : start;
    if (f != start) {
        std::swap(indices[start], indices[f]);
        if (dim) {
            std::swap_ranges(rows + start * dim, rows + (start + 1) * dim, rows + f * dim);
        }
    }
    const double* vantage = rows + start * dim;

    const std::size_t v = count - 1;
    KeyedPosition* keyed = scratch.keyed.data();
    double min_dist = INFINITY, max_dist = -INFINITY;
    for (std::size_t j = 0; j < v; ++j) {
        const std::size_t p = start + 1 + j;
        const double d = distance(storage.metric, rows + p * dim, vantage, dim);
        keyed[j] = {d, p};
        if (d < min_dist) min_dist = d;  // NaN changes neither
        if (d > max_dist) max_dist = d;
    }
    scratch.check.tick(v * (dim + 4));
    const std::size_t w = v / 2;
    select_rank_nan_last(keyed, v, w);
    scratch.check.tick(v * dim);
    double threshold = keyed[w].key;
    if (v % 2 == 0) {
        double below = -INFINITY;
        for (std::size_t j = 0; j < w; ++j) below = max_num(below, keyed[j].key);
        threshold = (below + keyed[w].key) * 0.5;
    }
    apply_order(keyed, start + 1, v, dim, indices, rows, scratch.indices.data(), scratch.rows.data());
    vantages.insert(vantages.end(), vantage, vantage + dim);
    if (max_dist == INFINITY) keep_scaled_ring(node, start, end);
    nodes.push_back(VPNode{kNoChild, kNoChild, start, end, threshold, min_dist, max_dist,
                           storage.metric == DistanceMetric::Chebyshev && any_nan(rows, start, end, dim)});

    if (storage.leaf_size < count) {
        const std::size_t left = build_recursive(start, start + 1 + w, scratch, rng);
        const std::size_t right = build_recursive(start + 1 + w, end, scratch, rng);
        nodes[node].left = left;
        nodes[node].right = right;
    }
    return node;
}

void VPTree::keep_scaled_ring(std::size_t node, std::size_t start, std::size_t end) {
    const std::size_t dim = storage.dim;
    const double* rows = storage.data.data();
    const double* vantage = rows + start * dim;
    double lo = INFINITY, hi = -INFINITY;
    with_metric(storage.metric, [&]<DistanceMetric M>() {
        for (std::size_t p = start + 1; p < end; ++p) {
            const double d = distance_scaled<M>(rows + p * dim, vantage, dim, kOverflowScale);
            if (d < lo) lo = d;
            if (d > hi) hi = d;
        }
    });
    scaled_rings.push_back({node, {lo, hi}});
}

std::pair<double, double> VPTree::ring_at(std::size_t node, double scale) const {
    const VPNode& n = nodes[node];
    if (n.max_dist != INFINITY || scale == 1.0) return {n.min_dist * scale, n.max_dist * scale};
    const auto it = std::lower_bound(scaled_rings.begin(), scaled_rings.end(), node,
                                     [](const auto& entry, std::size_t key) { return entry.first < key; });
    return it != scaled_rings.end() && it->first == node ? it->second : std::pair{n.min_dist, n.max_dist};
}

// ---- searches -------------------------------------------------------------------------------

namespace {
// Magnitudes the node's lower bound is computed from (see bound_exceeds).
inline double bound_scale(const VPNode& n, double c) {
    return std::fabs(c) + std::fabs(n.min_dist) + std::fabs(n.max_dist);
}
}  // namespace
// Distances run over the query's length: a shorter query is compared on its leading
// coordinates; a longer one is refused before the walk (it could not be compared with a row).

// c is the query's distance to the node's vantage point. With vantage selection "first" an
// inner child keeps its parent's vantage point, so its distance is already known.
template <DistanceMetric M, std::size_t D>
void VPTree::query_knn_recursive(std::size_t node, Query q, NeighbourHeap& heap, double c) const {
    const std::size_t len = dim_or<D>(q.len);
    for (;;) {
        const VPNode& n = nodes[node];
        if (heap.full() && bound_exceeds(min_dist_to_node(node, c), heap.top(), bound_scale(n, c), len)) return;
        if (n.is_leaf()) {
            offer_leaf<M, D>(storage, n.start, n.end, q, heap);
            return;
        }
        // As in the radius search, the far child's shell may rule it out before its vantage
        // distance is needed.
        const bool shells = !n.unbounded && len == storage.dim;
        const double shell_scale = std::fabs(c) + std::fabs(n.threshold);
        const bool inner_first = c < n.threshold;
        const double c_near = inner_first ? (random_selection ? distance<M>(q.x, vantage(n.left), len) : c)
                                          : distance<M>(q.x, vantage(n.right), len);
        query_knn_recursive<M, D>(inner_first ? n.left : n.right, q, heap, c_near);
        const double far_gap = inner_first ? n.threshold - c : c - n.threshold;
        if (shells && heap.full() && bound_exceeds(far_gap, heap.top(), shell_scale, len)) return;
        node = inner_first ? n.right : n.left;
        c = inner_first || random_selection ? distance<M>(q.x, vantage(node), len) : c;
    }
}

template <DistanceMetric M, std::size_t D, class Out>
void VPTree::query_radius_recursive(std::size_t node, Query q, Out& results, double radius, double limit,
                                    double c) const {
    const std::size_t len = dim_or<D>(q.len);
    for (;;) {
        const VPNode& n = nodes[node];
        if (bound_exceeds(min_dist_to_node(node, c), radius, bound_scale(n, c), len)) return;
        if (n.is_leaf()) {
            collect_leaf<M, D, Out>(storage, n.start, n.end, q, limit, results);
            return;
        }
        // The inner child's points lie within `threshold` of this vantage point, the outer child's
        // at least that far: a child whose shell is out of reach is skipped before its own
        // vantage distance is computed.
        const bool shells = !n.unbounded && len == storage.dim;
        const double shell_scale = std::fabs(c) + std::fabs(n.threshold);
        if (!(shells && bound_exceeds(c - n.threshold, radius, shell_scale, len))) {
            const double c_inner = random_selection ? distance<M>(q.x, vantage(n.left), len) : c;
            query_radius_recursive<M, D, Out>(n.left, q, results, radius, limit, c_inner);
        }
        if (shells && bound_exceeds(n.threshold - c, radius, shell_scale, len)) return;
        node = n.right;
        c = distance<M>(q.x, vantage(node), len);
    }
}

void VPTree::knn_into(Query q, NeighbourHeap& heap) const {
    check_query_fits(q, storage.dim);
    with_metric(storage.metric, [&]<DistanceMetric M>() {
        with_dim(q.len == storage.dim ? storage.dim : 0,
                 [&]<std::size_t D>() { query_knn_recursive<M, D>(0, q, heap, distance<M>(q.x, vantage(0), q.len)); });
    });
}

template <class Out>
void VPTree::radius_into(Query q, double radius, Out& out) const {
    if (storage.n_points == 0) return;
    check_query_fits(q, storage.dim);
    with_metric(storage.metric, [&]<DistanceMetric M>() {
        const double limit = point_limit<M>(radius);
        with_dim(q.len == storage.dim ? storage.dim : 0, [&]<std::size_t D>() {
            query_radius_recursive<M, D, Out>(0, q, out, radius, limit, distance<M>(q.x, vantage(0), q.len));
        });
    });
}
template void VPTree::radius_into(Query, double, std::vector<std::uint64_t>&) const;
template void VPTree::radius_into(Query, double, RadiusCount&) const;
template void VPTree::radius_into(Query, double, WatchedResults&) const;

template struct DensityEstimates<VPTree>;

}  // namespace kestrum::spatial
