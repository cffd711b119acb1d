// Ball tree: nested balls (centroid and covering radius in the tree's metric), split at the
// median of the widest dimension.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "spatial/density.hpp"
#include "spatial/median_split.hpp"
#include "spatial/neighbour_heap.hpp"
#include "spatial/pruning.hpp"
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

struct BallTree : DensityEstimates<BallTree> {
    std::vector<BallNode> nodes;
    std::vector<double> centroids;  // dim values per node
    PointStorage storage;

    static Result<BallTree> from_ndarray(const ArrayF64& array, std::uint64_t leaf_size, DistanceMetric metric);

    const double* centroid(std::size_t node) const { return centroids.data() + node * storage.dim; }

    std::vector<std::uint64_t> query_knn(Query q, std::uint64_t k) const;
    std::vector<std::uint64_t> query_radius(Query q, double radius) const;

    // One query of a batch: the k-NN walk into an empty heap (room min(k, n_points), k > 0,
    // n_points > 0), and the radius walk appending to `out` (a vector or a RadiusCount).
    void knn_into(Query q, NeighbourHeap& heap) const;
    template <class Out>
    void radius_into(Query q, double radius, Out& out) const;

    // kde walk interface: the reference point is the centroid.
    template <DistanceMetric M, std::size_t D>
    NodeBound kde_bound(std::size_t node, const double* q) const {
        const double d = distance<M>(q, centroid(node), dim_or<D>(storage.dim));
        return {max_num(d - nodes[node].radius, 0.0), d};
    }
    double kde_span(std::size_t node) const { return 2.0 * nodes[node].radius; }
    template <DistanceMetric M, std::size_t D>
    std::pair<double, double> kde_extremes(std::size_t node, const double*, const NodeBound& b) const {
        const double r = nodes[node].radius;
        return {max_num(b.ref - r, 0.0), b.ref + r};
    }

    // D > 0: the query has exactly D = dim coordinates; D = 0: any length up to dim.
    template <DistanceMetric M, std::size_t D>
    void query_knn_recursive(std::size_t node, Query q, NeighbourHeap& heap, double d) const;
    template <DistanceMetric M, std::size_t D, class Out>
    void query_radius_recursive(std::size_t node, Query q, Out& results, double radius,
                                double reduced_radius) const;

private:
    // The shared build skeleton (tree_build.hpp) calls `build` once the points are stored.
    template <class T>
    friend Result<T> build_tree(T tree, const ArrayF64& array, std::uint64_t leaf_size, DistanceMetric metric);
    void build(std::size_t expected_nodes);
    std::size_t build_recursive(std::size_t start, std::size_t end, BuildScratch& scratch);
};

}  // namespace kestrum::spatial
