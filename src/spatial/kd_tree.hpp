// k-d tree: axis-aligned bounding boxes, split at the median of the widest dimension.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "spatial/density.hpp"
#include "spatial/median_split.hpp"
#include "spatial/neighbour_heap.hpp"
#include "spatial/pruning.hpp"
#include "spatial/queries.hpp"
#include "spatial/storage.hpp"

namespace kestrum::spatial {

struct KDNode {
    std::uint64_t left = kNoChild;
    std::uint64_t right = kNoChild;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::uint64_t split_dim = 0;
    double split_value = 0.0;
    bool unbounded = false;  // Chebyshev tree, NaN coordinates inside: no box bound applies
    // Bounding box of trees of up to kInlineBoxDim dimensions, kept beside the fields a search
    // reads with it: bbox_min[0..dim) then bbox_max[0..dim).
    double inline_box[6];

    bool is_leaf() const { return left == kNoChild; }
};

inline constexpr std::size_t kInlineBoxDim = 3;

struct KDTree : DensityEstimates<KDTree>, PointQueries<KDTree> {
    std::vector<KDNode> nodes;
    // Bounding boxes of trees of more than kInlineBoxDim dimensions, per node: bbox_min[0..dim)
    // then bbox_max[0..dim) (+inf / -inf where no coordinate counts).
    std::vector<double> boxes;
    PointStorage storage;

    static Result<KDTree> from_ndarray(const ArrayF64& array, std::uint64_t leaf_size, DistanceMetric metric);

    template <std::size_t D = 0>
    const double* bbox_min(std::size_t node) const {
        if constexpr (D != 0 && D <= kInlineBoxDim) return nodes[node].inline_box;
        if (storage.dim <= kInlineBoxDim) return nodes[node].inline_box;
        return boxes.data() + node * 2 * storage.dim;
    }
    template <std::size_t D = 0>
    const double* bbox_max(std::size_t node) const {
        return bbox_min<D>(node) + dim_or<D>(storage.dim);
    }

    // One query (of a batch, or of query_knn / query_radius): the k-NN walk into an empty heap
    // (room min(k, n_points), k > 0, n_points > 0), and the radius walk appending to `out` (a
    // vector or a RadiusCount).
    void knn_into(Query q, NeighbourHeap& heap) const;
    template <class Out>
    void radius_into(Query q, double radius, Out& out) const;

    // Lower bound of the distance from q to any point of the node's box, the density walk's L.
    // Euclidean (without overflow, see root_sum_squares); for the Chebyshev metric the largest
    // per-dimension gap (the Euclidean gap can exceed the Chebyshev distance, so it would prune
    // true neighbours), or 0 when NaN coordinates (which Chebyshev ignores) put points outside
    // the box.
    template <DistanceMetric M, std::size_t D = 0>
    double box_distance(std::size_t node, const double* q) const;
    // The bound searches prune by, in the units of the metric's reduced distance: the squared
    // Euclidean box distance (compared against sqrt_bound of a limit), the sum of the gaps for
    // Manhattan, the largest gap for Chebyshev.
    template <DistanceMetric M, std::size_t D>
    double reduced_box_distance(std::size_t node, const double* q) const;

    // kde walk interface
    template <DistanceMetric M, std::size_t D>
    NodeBound kde_bound(std::size_t node, const double* q) const {
        return {box_distance<M, D>(node, q), 0.0};
    }
    double kde_span(std::size_t node) const;
    template <DistanceMetric M, std::size_t D>
    std::pair<double, double> kde_extremes(std::size_t node, const double* q, const NodeBound&) const;

    template <DistanceMetric M, std::size_t D>
    void query_knn_recursive(std::size_t node, Query q, NeighbourHeap& heap) const;
    template <DistanceMetric M, std::size_t D, class Out>
    void query_radius_recursive(std::size_t node, Query q, Out& results, double box_limit, double point_limit) const;

private:
    // The shared build skeleton (tree_build.hpp) calls `build` once the points are stored.
    template <class T>
    friend Result<T> build_tree(T tree, const ArrayF64& array, std::uint64_t leaf_size, DistanceMetric metric);
    void build(std::size_t expected_nodes);
    std::size_t build_recursive(std::size_t start, std::size_t end, BuildScratch& scratch);
};

}  // namespace kestrum::spatial
