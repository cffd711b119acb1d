// Vocabulary shared by the three point indexes: metrics, kernels, the approximation criterion,
// option parsing, the point storage every tree re-lays in tree order, median selection and the
// bounded neighbour heap.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "array/ndarray.hpp"

namespace kestrum::spatial {

enum class DistanceMetric : std::uint8_t { Euclidean = 0, Manhattan = 1, Chebyshev = 2 };

enum class KernelType : std::uint8_t { Gaussian = 0, Epanechnikov = 1, Uniform = 2, Triangular = 3 };

struct ApproxCriterion {
    enum class Kind : std::uint8_t { None = 0, MinSamples = 1, MaxSpan = 2, Combined = 3 };
    Kind kind = Kind::None;
    std::uint64_t min_samples = 0;
    double max_span = 0.0;

    static ApproxCriterion none() { return {}; }
};

// Parsers take the caller's name already lower-cased (full Unicode lower-casing is the
// binding layer's job) and the name as given, which the messages quote.
Result<DistanceMetric> parse_metric(std::string_view lowered, std::string_view given);
Result<KernelType> parse_kernel(std::string_view lowered, std::string_view given);
Result<ApproxCriterion> parse_criterion(std::string_view lowered, std::string_view given,
                                        std::optional<std::uint64_t> min_samples, std::optional<double> max_span);
// true for random vantage points, false for the first point of each range.
Result<bool> parse_selection(std::string_view lowered, std::string_view given);

// leaf_size 0 would split one-point nodes forever.
std::optional<Error> check_leaf_size(std::uint64_t leaf_size);

// ---- distances ------------------------------------------------------------------------------
// The loop runs over the first n coordinates of both operands; sums start at +0.0 so an empty
// operand gives 0.0 in every metric.
template <DistanceMetric M>
inline double distance(const double* a, const double* b, std::size_t n) {
    if constexpr (M == DistanceMetric::Euclidean) {
        double s = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double t = a[i] - b[i];
            s += t * t;
        }
        return std::sqrt(s);
    } else if constexpr (M == DistanceMetric::Manhattan) {
        double s = 0.0;
        for (std::size_t i = 0; i < n; ++i) s += std::fabs(a[i] - b[i]);
        return s;
    } else {
        // NaN terms never replace the running maximum, so NaN coordinates are ignored.
        double m = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double t = std::fabs(a[i] - b[i]);
            m = t > m ? t : m;
        }
        return m;
    }
}

double distance(DistanceMetric metric, const double* a, const double* b, std::size_t n);

// Euclidean: the sum of squares whose square root is the distance; other metrics: the distance.
// Searches compare this against a bound and take the square root only for points they keep.
template <DistanceMetric M>
inline double reduced_distance(const double* a, const double* b, std::size_t n) {
    if constexpr (M == DistanceMetric::Euclidean) {
        double s = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double t = a[i] - b[i];
            s += t * t;
        }
        return s;
    } else {
        return distance<M>(a, b, n);
    }
}

// The largest x with sqrt(x) <= t (square root is correctly rounded and monotone), so that
// sqrt(s) <= t exactly when s <= sqrt_bound(t), and sqrt(s) > t exactly when s > sqrt_bound(t).
// -inf for a negative t, NaN for NaN (every comparison then fails, as it would with t).
double sqrt_bound(double t);

// Calls f.template operator()<D>() with the dimension as a compile-time constant for the common
// small dimensions, D = 0 (read it at run time) otherwise.
template <class F>
decltype(auto) with_dim(std::size_t dim, F&& f) {
    switch (dim) {
        case 2: return f.template operator()<2>();
        case 3: return f.template operator()<3>();
        default: return f.template operator()<0>();
    }
}

template <std::size_t D>
inline std::size_t dim_or(std::size_t runtime) {
    return D ? D : runtime;
}

// Calls f.template operator()<M>() with the metric as a compile-time constant.
template <class F>
decltype(auto) with_metric(DistanceMetric metric, F&& f) {
    switch (metric) {
        case DistanceMetric::Manhattan: return f.template operator()<DistanceMetric::Manhattan>();
        case DistanceMetric::Chebyshev: return f.template operator()<DistanceMetric::Chebyshev>();
        default: return f.template operator()<DistanceMetric::Euclidean>();
    }
}

// ---- kernels --------------------------------------------------------------------------------
// The Gaussian kernel is exp of this.
inline double gaussian_exponent(double u) { return u * -0.5 * u; }

template <KernelType K>
inline double kernel_value(double u) {
    if constexpr (K == KernelType::Gaussian) return std::exp(gaussian_exponent(u));
    else if constexpr (K == KernelType::Epanechnikov) return u < 1.0 ? 0.75 * (1.0 - u * u) : 0.0;
    else if constexpr (K == KernelType::Uniform) return u < 1.0 ? 0.5 : 0.0;
    else return u < 1.0 ? 1.0 - u : 0.0;
}

double kernel_value(KernelType kernel, double u);

// exp(x) < 1e-10 exactly when x < this (NaN where that could not be proven: then call exp).
double gaussian_negligible_below();

// A node whose lower bound scales to u contributes nothing worth adding.
template <KernelType K>
inline bool kernel_negligible(double u) {
    if constexpr (K == KernelType::Gaussian) {
        static const double below = gaussian_negligible_below();
        return below == below ? gaussian_exponent(u) < below : kernel_value<K>(u) < 1e-10;
    }
    else if constexpr (K == KernelType::Epanechnikov) return !(u < 1.0) || 0.75 * (1.0 - u * u) < 1e-10;
    else if constexpr (K == KernelType::Uniform) return !(u < 1.0);
    else return !(u < 1.0) || 1.0 - u < 1e-10;
}

template <class F>
decltype(auto) with_kernel(KernelType kernel, F&& f) {
    switch (kernel) {
        case KernelType::Epanechnikov: return f.template operator()<KernelType::Epanechnikov>();
        case KernelType::Uniform: return f.template operator()<KernelType::Uniform>();
        case KernelType::Triangular: return f.template operator()<KernelType::Triangular>();
        default: return f.template operator()<KernelType::Gaussian>();
    }
}

// Larger of two floats where a NaN operand is ignored.
inline double max_num(double a, double b) { return std::fmax(a, b); }

// A lower bound derived through the triangle inequality (ball and vantage-point trees) carries
// the rounding of the distances it is made of, so it may exceed a true distance by a few ulps.
// A node is pruned only when its bound exceeds the limit by more than that error, which keeps a
// point lying exactly on the limit from being lost; `scale` is the sum of the magnitudes the
// bound was computed from. A NaN or infinite scale never prunes.
inline bool bound_exceeds(double bound, double limit, double scale, std::size_t dim) {
    const double error = (scale + std::fabs(limit)) * (static_cast<double>(dim) + 4.0) * 0x1p-52;
    return bound > limit + error;
}

// Whether any coordinate of the rows [start, end) is NaN. The Chebyshev metric ignores NaN
// coordinates, so such points can lie closer than a node's box or ring bound says; nodes that
// hold them are never pruned under that metric.
bool any_nan(const double* rows, std::size_t start, std::size_t end, std::size_t dim);

// Child position of a leaf (nodes are internal exactly when both children are present).
inline constexpr std::uint64_t kNoChild = ~std::uint64_t{0};

// ---- storage ----------------------------------------------------------------------------------
// The points of a tree, re-laid in storage order: row p of `data` is source row `indices[p]`.
struct PointStorage {
    Buffer<std::uint64_t> indices;
    Buffer<double> data;
    std::uint64_t n_points = 0;
    std::uint64_t dim = 0;
    std::uint64_t leaf_size = 0;
    DistanceMetric metric = DistanceMetric::Euclidean;

    const double* row(std::size_t p) const { return data.data() + p * dim; }

    // Source must be (n_points, dim); `data` starts as a copy in source order and the build
    // permutes its rows together with `indices`, so it ends in storage order.
    static PointStorage from_source(const ArrayF64& array, std::uint64_t leaf_size, DistanceMetric metric);

    // A copy of the stored points as an (n_points, dim) array in storage order.
    ArrayF64 points() const;
};

// A query point: its coordinates and how many there are (not necessarily `dim`).
struct Query {
    const double* x;
    std::size_t len;
};

// Query coordinates are read at the same positions as the stored point's; a longer query would
// read past the row.
inline void check_query_fits(const Query& q, std::uint64_t dim) {
    if (q.len > dim) [[unlikely]]
        panic_bounds(dim, dim);
}

// ---- median selection -------------------------------------------------------------------------
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

// Nodes a median-split build of n points makes at most (for reserving storage up front): every
// leaf of a split tree holds at least (leaf_size + 1) / 2 points.
inline std::size_t expected_node_count(std::size_t n, std::uint64_t leaf_size) {
    if (leaf_size >= n) return 1;
    return 2 * (n / std::max<std::size_t>(1, (leaf_size + 1) / 2)) + 1;
}

// Working space of a build, sized once for the root range and reused by every node.
struct BuildScratch {
    std::vector<KeyedPosition> keyed;
    std::vector<std::uint64_t> indices;
    std::vector<double> rows;
    std::vector<double> lows, highs;  // per-dimension extremes of the node being built

    BuildScratch(std::size_t n_points, std::size_t dim)
        : keyed(n_points), indices(n_points), rows(n_points * dim), lows(dim), highs(dim) {}
};

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

// ---- bounded neighbour heap -----------------------------------------------------------------
// Max-heap on distance (an equal distance never displaces an entry) with room for k (distance, point index) entries. Storage is bounded by
// the number of points that can be offered (each point at most once), so a huge k costs
// nothing. All index arithmetic stays within the entries held, so NaN distances cannot make it
// read out of bounds.
class NeighbourHeap {
public:
    NeighbourHeap(std::uint64_t k, std::uint64_t n_points);

    bool full() const { return size_ == k_; }
    double top() const { return entries_[0].dist; }
    std::size_t size() const { return size_; }
    // sqrt_bound(top) once full, +inf before: a squared Euclidean distance above it would be
    // dropped by `offer`.
    double reject_sq() const { return reject_sq_; }

    void offer(double d, std::uint64_t index) {
        if (size_ < k_) push(d, index);
        else if (farther(entries_[0].dist, d)) replace_top(d, index);
        else return;
        if (full()) reject_sq_ = sqrt_bound(entries_[0].dist);
    }

    // Distance order with NaN after every number, so a point whose distance is NaN never keeps
    // out one at a real distance.
    static bool farther(double a, double b) { return a > b || (std::isnan(a) && !std::isnan(b)); }

    // The indices held, by ascending distance (NaN last; ties by index).
    std::vector<std::uint64_t> sorted_indices();

private:
    struct Entry {
        double dist;
        std::uint64_t index;
    };
    void push(double d, std::uint64_t index);
    void replace_top(double d, std::uint64_t index);

    std::uint64_t k_;
    std::size_t size_ = 0;
    double reject_sq_ = INFINITY;
    std::vector<Entry> entries_;
};

// ---- leaf scans -------------------------------------------------------------------------------
// A radius in the units of `reduced_distance`: d <= radius exactly when reduced <= point_limit.
template <DistanceMetric M>
inline double point_limit(double radius) {
    if constexpr (M == DistanceMetric::Euclidean) return sqrt_bound(radius);
    else return radius;
}

// Offers the points at storage positions [start, end) to the heap. D as in `with_dim`; the
// caller has checked that the query is not longer than a stored point.
template <DistanceMetric M, std::size_t D>
inline void offer_leaf(const PointStorage& s, std::size_t start, std::size_t end, Query q, NeighbourHeap& heap) {
    const std::size_t len = dim_or<D>(q.len);
    const std::size_t stride = dim_or<D>(s.dim);
    const double* row = s.row(start);
    for (std::size_t p = start; p < end; ++p, row += stride) {
        if constexpr (M == DistanceMetric::Euclidean) {
            const double r = reduced_distance<M>(q.x, row, len);
            if (r > heap.reject_sq()) continue;  // the heap would drop it
            heap.offer(std::sqrt(r), s.indices[p]);
        } else {
            heap.offer(distance<M>(q.x, row, len), s.indices[p]);
        }
    }
}

// Appends the indices of the points at storage positions [start, end) within the radius whose
// `point_limit` is `limit`.
template <DistanceMetric M, std::size_t D>
inline void collect_leaf(const PointStorage& s, std::size_t start, std::size_t end, Query q, double limit,
                         std::vector<std::uint64_t>& results) {
    const std::size_t len = dim_or<D>(q.len);
    const std::size_t stride = dim_or<D>(s.dim);
    const double* row = s.row(start);
    for (std::size_t p = start; p < end; ++p, row += stride)
        if (reduced_distance<M>(q.x, row, len) <= limit) results.push_back(s.indices[p]);
}

// "min > max, or either was NaN. min = {}, max = {}" for clamping into an inverted interval.
[[noreturn]] void panic_clamp(double min, double max);

inline double clamp_checked(double x, double min, double max) {
    if (!(min <= max)) [[unlikely]]
        panic_clamp(min, max);
    if (x < min) x = min;
    if (x > max) x = max;
    return x;
}

// Queries of a density estimate: (n_queries, dim).
void check_density_queries(const ArrayF64& queries, std::uint64_t dim);

}  // namespace kestrum::spatial
