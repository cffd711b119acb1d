// Ball tree: nested balls (centroid and covering radius in the tree's metric), split at the
// median of the widest dimension.
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

namespace kestrum::spatial {

struct BallNode {
    std::uint64_t left = kNoChild;
    std::uint64_t right = kNoChild;
    double radius = 0.0;
    std::uint64_t start = 0;
    std::uint64_t end = 0;

    bool is_leaf() const { return left == kNoChild; }
};

struct BallTree : DensityEstimates<BallTree>, PointQueries<BallTree> {
    std::vector<BallNode> nodes;
    std::vector<double> centroids;  // dim values per node
    // (node, radius at kOverflowScale) for the nodes whose radius overflowed, in node order.
    std::vector<std::pair<std::uint64_t, double>> scaled_radii;
    PointStorage storage;

    static Result<BallTree> from_ndarray(const ArrayF64& array, std::uint64_t leaf_size, DistanceMetric metric);

    const double* centroid(std::size_t node) const { return centroids.data() + node * storage.dim; }

    // One query (of a batch, or of query_knn / query_radius): the k-NN walk into an empty heap
    // (room min(k, n_points), k > 0, n_points > 0), and the radius walk appending to `out` (a
    // vector or a RadiusCount).
    void knn_into(Query q, NeighbourHeap& heap) const;
    template <class Out>
    void radius_into(Query q, double radius, Out& out) const;

    // The node's radius at a scale of 1 or kOverflowScale.
    double radius_at(std::size_t node, double scale) const;
    // Records the radius of a node whose radius overflowed, measured at kOverflowScale.
    void keep_scaled_radius(std::size_t node, std::size_t start, std::size_t end);

    // kde walk interface: the reference point is the centroid. Where the distance to it or the
    // radius overflowed, both are taken at kOverflowScale.
    template <DistanceMetric M, std::size_t D>
    NodeBound kde_bound(std::size_t node, const double* q) const {
        const std::size_t dim = dim_or<D>(storage.dim);
        const double r = nodes[node].radius;
        const double d = distance<M>(q, centroid(node), dim);
        if (d != INFINITY && r != INFINITY) [[likely]]
            return {max_num(d - r, 0.0), d};
        const double ds = distance_scaled<M>(q, centroid(node), dim, kOverflowScale);
        return {max_num(ds - radius_at(node, kOverflowScale), 0.0) / kOverflowScale, ds, kOverflowScale};
    }
    double kde_span(std::size_t node) const { return 2.0 * nodes[node].radius; }
    template <DistanceMetric M, std::size_t D>
    std::pair<double, double> kde_extremes(std::size_t node, const double*, const NodeBound& b) const {
        const double r = radius_at(node, b.scale);
        return {max_num(b.ref - r, 0.0) / b.scale, (b.ref + r) / b.scale};
    }

    // D > 0: the query has exactly D = dim coordinates; D = 0: any length up to dim.
    template <DistanceMetric M, std::size_t D>
    void query_knn_recursive(std::size_t node, Query q, NeighbourHeap& heap, double d) const;
    template <DistanceMetric M, std::size_t D, class Out>
    void query_radius_recursive(std::size_t node, Query q, Out& results, double radius, double reduced_radius) const;

private:
    // The shared build skeleton (tree_build.hpp) calls `build` once the points are stored.
    template <class T>
    friend Result<T> build_tree(T tree, const ArrayF64& array, std::uint64_t leaf_size, DistanceMetric metric);
    void build(std::size_t expected_nodes);
    std::size_t build_recursive(std::size_t start, std::size_t end, BuildScratch& scratch);
};

}  // namespace kestrum::spatial
