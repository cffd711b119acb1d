#include "spatial/common.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "array/format.hpp"

namespace kestrum::spatial {

namespace {

std::string quoted(std::string_view prefix, std::string_view name, std::string_view suffix) {
    std::string s(prefix);
    s += '\'';
    s += name;
    s += '\'';
    s += suffix;
    return s;
}

}  // namespace

Result<DistanceMetric> parse_metric(std::string_view lowered, std::string_view given) {
    if (lowered == "euclidean") return DistanceMetric::Euclidean;
    if (lowered == "manhattan") return DistanceMetric::Manhattan;
    if (lowered == "chebyshev") return DistanceMetric::Chebyshev;
    return Error{quoted("Unknown distance metric ", given,
                        ". Valid options: 'euclidean', 'manhattan', 'chebyshev'")};
}

Result<KernelType> parse_kernel(std::string_view lowered, std::string_view given) {
    if (lowered == "gaussian") return KernelType::Gaussian;
    if (lowered == "epanechnikov") return KernelType::Epanechnikov;
    if (lowered == "uniform") return KernelType::Uniform;
    if (lowered == "triangular") return KernelType::Triangular;
    return Error{quoted("Unknown kernel type ", given,
                        ". Valid options: 'gaussian', 'epanechnikov', 'uniform', 'triangular'")};
}

Result<ApproxCriterion> parse_criterion(std::string_view lowered, std::string_view given,
                                        std::optional<std::uint64_t> min_samples, std::optional<double> max_span) {
    using Kind = ApproxCriterion::Kind;
    if (lowered == "min_samples") {
        if (!min_samples) return Error{"min_samples parameter required for 'min_samples' criterion"};
        return ApproxCriterion{Kind::MinSamples, *min_samples, 0.0};
    }
    if (lowered == "none") return ApproxCriterion::none();
    if (lowered == "max_span") {
        if (!max_span) return Error{"max_span parameter required for 'max_span' criterion"};
        return ApproxCriterion{Kind::MaxSpan, 0, *max_span};
    }
    if (lowered == "combined") {
        if (!min_samples) return Error{"min_samples parameter required for 'combined' criterion"};
        if (!max_span) return Error{"max_span parameter required for 'combined' criterion"};
        return ApproxCriterion{Kind::Combined, *min_samples, *max_span};
    }
    return Error{quoted("Unknown approximation criterion ", given,
                        ". Valid options: 'none', 'min_samples', 'max_span', 'combined'")};
}

Result<bool> parse_selection(std::string_view lowered, std::string_view given) {
    if (lowered == "first") return false;
    if (lowered == "random") return true;
    return Error{quoted("Unknown vantage point selection method ", given, ". Valid options: 'first', 'random'")};
}

std::optional<Error> check_leaf_size(std::uint64_t leaf_size) {
    if (leaf_size == 0) return Error{"leaf_size must be at least 1"};
    return std::nullopt;
}

double distance(DistanceMetric metric, const double* a, const double* b, std::size_t n) {
    return with_metric(metric, [&]<DistanceMetric M>() { return distance<M>(a, b, n); });
}

double kernel_value(KernelType kernel, double u) {
    return with_kernel(kernel, [&]<KernelType K>() { return kernel_value<K>(u); });
}

double gaussian_negligible_below() {
    // The least x with exp(x) >= 1e-10, found by stepping from log(1e-10). The C library's exp is
    // within one ulp, and 1000 ulps of x move the true exp by far more than that, so checking
    // every x within 1000 ulps of the edge proves the test for every x.
    // The operands are read at run time so that nothing is folded with the compiler's own exp.
    constexpr int kWindow = 1000;
    static volatile double threshold = 1e-10;
    const double t = threshold;
    const auto ok = [t](double x) { return std::exp(x) >= t; };
    double edge = std::log(t);
    while (ok(edge)) edge = std::nextafter(edge, -INFINITY);
    while (!ok(edge)) edge = std::nextafter(edge, INFINITY);
    double below = edge, above = edge;
    for (int i = 0; i < kWindow; ++i) {
        below = std::nextafter(below, -INFINITY);
        if (ok(below) || !ok(above)) return NAN;
        above = std::nextafter(above, INFINITY);
    }
    return edge;
}

bool any_nan(const double* rows, std::size_t start, std::size_t end, std::size_t dim) {
    bool found = false;
    for (const double* x = rows + start * dim; x != rows + end * dim; ++x) found |= std::isnan(*x);
    return found;
}

// ---- storage ----------------------------------------------------------------------------------

PointStorage PointStorage::from_source(const ArrayF64& array, std::uint64_t leaf_size, DistanceMetric metric) {
    if (array.ndim() != 2) panic("Expected 2D array (n_points, dim)");
    PointStorage s;
    s.n_points = array.shape[0];
    s.dim = array.shape[1];
    s.leaf_size = leaf_size;
    s.metric = metric;
    s.indices = Buffer<std::uint64_t>::uninit(s.n_points);
    for (std::uint64_t i = 0; i < s.n_points; ++i) s.indices[i] = i;
    s.data = array.data;
    return s;
}

ArrayF64 PointStorage::points() const {
    return ArrayF64::create(Shape{n_points, dim}, data);
}

// ---- selection ------------------------------------------------------------------------------

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

// ---- heap -----------------------------------------------------------------------------------

NeighbourHeap::NeighbourHeap(std::uint64_t k, std::uint64_t n_points) : k_(k), entries_(std::min(k, n_points)) {}

void NeighbourHeap::push(double d, std::uint64_t index) {
    if (size_ == entries_.size()) return;  // more offers than points: cannot happen in a tree walk
    Entry* e = entries_.data();
    std::size_t i = size_++;
    while (i > 0) {
        const std::size_t parent = (i - 1) / 2;
        if (!farther(d, e[parent].dist)) break;
        e[i] = e[parent];
        i = parent;
    }
    e[i] = {d, index};
}

void NeighbourHeap::replace_top(double d, std::uint64_t index) {
    Entry* e = entries_.data();
    std::size_t i = 0;
    for (;;) {
        const std::size_t l = 2 * i + 1;
        if (l >= size_) break;
        std::size_t c = l;
        if (l + 1 < size_ && farther(e[l + 1].dist, e[l].dist)) c = l + 1;
        if (!farther(e[c].dist, d)) break;
        e[i] = e[c];
        i = c;
    }
    e[i] = {d, index};
}

std::vector<std::uint64_t> NeighbourHeap::sorted_indices() {
    std::sort(entries_.begin(), entries_.begin() + size_, [](const Entry& a, const Entry& b) {
        const bool na = std::isnan(a.dist), nb = std::isnan(b.dist);
        if (na != nb) return nb;
        if (!na && a.dist != b.dist) return a.dist < b.dist;
        return a.index < b.index;
    });
    std::vector<std::uint64_t> out(size_);
    for (std::size_t i = 0; i < size_; ++i) out[i] = entries_[i].index;
    return out;
}

namespace {
// Neighbouring doubles of a non-negative, non-NaN value (the bit patterns of such values are
// ordered like the values).
double next_up(double x) { return std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) + 1); }
double next_down(double x) { return std::bit_cast<double>(std::bit_cast<std::uint64_t>(x) - 1); }
}  // namespace

double sqrt_bound(double t) {
    if (std::isnan(t)) return t;
    if (t < 0.0) return -INFINITY;
    if (t == INFINITY) return INFINITY;
    double x = t * t;  // within an ulp or two of the answer
    while (x > 0.0 && std::sqrt(x) > t) x = next_down(x);
    while (std::sqrt(next_up(x)) <= t) x = next_up(x);
    return x;
}

// ---- failures -------------------------------------------------------------------------------

namespace {
std::string display_f64(double x) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    std::string s;
    append_f64(s, x);
    if (s.size() > 2 && s.compare(s.size() - 2, 2, ".0") == 0) s.resize(s.size() - 2);
    return s;
}
}  // namespace

void panic_clamp(double min, double max) {
    panic("min > max, or either was NaN. min = " + display_f64(min) + ", max = " + display_f64(max));
}

void check_density_queries(const ArrayF64& queries, std::uint64_t dim) {
    if (queries.ndim() != 2) panic("Expected 2D array (n_queries, dim)");
    if (queries.shape[1] != dim) panic_assert_eq("Query dimension must match tree dimension", queries.shape[1], dim);
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
    const std::size_t m = count / 2;
    select_rank(keyed, count, m);
    apply_order(keyed, start, count, dim, storage.indices.data(), rows, scratch.indices.data(), scratch.rows.data());

    std::size_t mid = start + m;
    if (count < 2) mid = start + 1;
    if (mid == end) mid = end - 1;
    return {mid, keyed[m].key};
}

}  // namespace kestrum::spatial
