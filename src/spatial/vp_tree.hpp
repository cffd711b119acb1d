// Vantage-point tree: each node splits its points at the median distance from one of them.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "spatial/density.hpp"
#include "spatial/median_split.hpp"
#include "spatial/neighbour_heap.hpp"
#include "spatial/overflow_safe.hpp"
#include "spatial/pruning.hpp"
#include "spatial/queries.hpp"
#include "spatial/storage.hpp"

namespace kestrum {
struct Generator;
}

namespace kestrum::spatial {

struct VPNode {
    std::uint64_t left = kNoChild;   // inner: the vantage point and the nearer points
    std::uint64_t right = kNoChild;  // outer
    std::uint64_t start = 0;         // the vantage point is stored here
    std::uint64_t end = 0;
    double threshold = 0.0;  // median distance from the vantage point to the node's other points
    double min_dist = 0.0;   // smallest of those distances
    double max_dist = 0.0;   // largest of those distances
    bool unbounded = false;  // Chebyshev tree, NaN coordinates inside: no ring bound applies

    bool is_leaf() const { return left == kNoChild; }
};

struct VPTree : DensityEstimates<VPTree>, PointQueries<VPTree> {
    std::vector<VPNode> nodes;
    // The vantage point of every node (dim values per node), copied when the node is built: a
    // randomly chosen inner child moves its own vantage point to the shared start position, so
    // row `start` of the data need not be the parent's vantage point any more.
    std::vector<double> vantages;
    // Nodes whose distances from the vantage point overflowed: (node, {min_dist, max_dist} at
    // kOverflowScale), in node order.
    std::vector<std::pair<std::uint64_t, std::pair<double, double>>> scaled_rings;
    PointStorage storage;
    bool random_selection = false;

    const double* vantage(std::size_t node) const { return vantages.data() + node * storage.dim; }

    static Result<VPTree> from_ndarray(const ArrayF64& array, std::uint64_t leaf_size, DistanceMetric metric,
                                       bool random_selection);

    // One query (of a batch, or of query_knn / query_radius): the k-NN walk into an empty heap
    // (room min(k, n_points), k > 0, n_points > 0), and the radius walk appending to `out` (a
    // vector or a RadiusCount).
    void knn_into(Query q, NeighbourHeap& heap) const;
    template <class Out>
    void radius_into(Query q, double radius, Out& out) const;

    // Lower bound for the distance from a query to any point of the node, given d, the query's
    // distance to the vantage point. The ring bound from min_dist / max_dist covers the other
    // points; the vantage point itself is at exactly d, so the bound never exceeds d. Under the
    // Chebyshev metric NaN coordinates break the triangle inequality; such nodes get 0.
    double min_dist_to_node(std::size_t node, double d) const {
        const VPNode& n = nodes[node];
        return n.unbounded ? 0.0 : ring_bound(d, n.min_dist, n.max_dist);
    }
    static double ring_bound(double d, double min_dist, double max_dist) {
        double b = d - max_dist;
        const double inner = min_dist - d;
        if (std::isnan(b) || inner > b) b = inner;
        double bound = b > 0.0 ? b : 0.0;
        if (d < bound) bound = d;
        return bound;
    }
    // The node's {min_dist, max_dist} at a scale of 1 or kOverflowScale.
    std::pair<double, double> ring_at(std::size_t node, double scale) const;
    // Records the ring of a node whose distances overflowed, measured at kOverflowScale.
    void keep_scaled_ring(std::size_t node, std::size_t start, std::size_t end);

    // kde walk interface: the reference point is the vantage point. Where the distance to it or
    // the ring overflowed, all three are taken at kOverflowScale.
    template <DistanceMetric M, std::size_t D>
    NodeBound kde_bound(std::size_t node, const double* q) const {
        const std::size_t dim = dim_or<D>(storage.dim);
        const double d = distance<M>(q, vantage(node), dim);
        if (d != INFINITY && nodes[node].max_dist != INFINITY) [[likely]]
            return {min_dist_to_node(node, d), d};
        const double ds = distance_scaled<M>(q, vantage(node), dim, kOverflowScale);
        const auto [lo, hi] = ring_at(node, kOverflowScale);
        return {nodes[node].unbounded ? 0.0 : ring_bound(ds, lo, hi) / kOverflowScale, ds, kOverflowScale};
    }
    double kde_span(std::size_t node) const { return nodes[node].max_dist - nodes[node].min_dist; }
    template <DistanceMetric M, std::size_t D>
    std::pair<double, double> kde_extremes(std::size_t node, const double*, const NodeBound& b) const {
        const double r = ring_at(node, b.scale).second;
        return {max_num(b.ref - r, 0.0) / b.scale, (b.ref + r) / b.scale};
    }

    // D > 0: the query has exactly D = dim coordinates; D = 0: any length up to dim.
    template <DistanceMetric M, std::size_t D>
    void query_knn_recursive(std::size_t node, Query q, NeighbourHeap& heap, double c) const;
    template <DistanceMetric M, std::size_t D, class Out>
    void query_radius_recursive(std::size_t node, Query q, Out& results, double radius, double limit, double c) const;

private:
    // The shared build skeleton (tree_build.hpp) calls `build` once the points are stored.
    template <class T>
    friend Result<T> build_tree(T tree, const ArrayF64& array, std::uint64_t leaf_size, DistanceMetric metric);
    void build(std::size_t expected_nodes);
    std::size_t build_recursive(std::size_t start, std::size_t end, BuildScratch& scratch, Generator& rng);
};

}  // namespace kestrum::spatial
