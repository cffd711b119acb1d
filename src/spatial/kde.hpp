// Kernel density walk shared by the three trees. A tree supplies, per node, its lower bound for
// a query (L), its span (S) and the nearest and farthest possible distances (Dmin, Dmax), as the
// DensityTree concept states; the walk itself, the skip test and the order in which terms reach
// the accumulator are common. Included only by the trees' source files, which instantiate
// DensityEstimates for their tree.
#pragma once

#include <algorithm>

#include "spatial/density.hpp"
#include "vmath/vmath.hpp"

namespace kestrum::spatial {

// Adds the kernel values of stored points [start, end) to acc in storage order. The Gaussian's
// exponentials are taken a run at a time; the additions stay one at a time, in order.
template <KernelType K, DistanceMetric M, std::size_t D>
void kde_leaf(const PointStorage& s, std::size_t start, std::size_t end, const double* q, double& acc,
              double bandwidth) {
    const std::size_t dim = dim_or<D>(s.dim);
    const double* row = s.row(start);
    if constexpr (K == KernelType::Gaussian) {
        constexpr std::size_t kRun = 64;
        double terms[kRun];
        for (std::size_t p = start; p < end;) {
            const std::size_t m = std::min(kRun, end - p);
            for (std::size_t j = 0; j < m; ++j, row += dim)
                terms[j] = gaussian_exponent(distance<M>(q, row, dim) / bandwidth);
            vmath::exp(terms, terms, m);
            for (std::size_t j = 0; j < m; ++j) acc += terms[j];
            p += m;
        }
    } else {
        for (std::size_t p = start; p < end; ++p, row += dim)
            acc += kernel_value<K>(distance<M>(q, row, dim) / bandwidth);
    }
}

template <KernelType K, DistanceMetric M, std::size_t D, DensityTree T>
void kde_recursive(const T& tree, std::size_t node, const double* q, double& acc, double bandwidth,
                   const ApproxCriterion& criterion, InterruptCheck* check = nullptr) {
    using Kind = ApproxCriterion::Kind;
    const PointStorage& s = tree.storage;
    for (;;) {
        const auto& n = tree.nodes[node];
        const NodeBound b = tree.template kde_bound<M, D>(node, q);
        if (kernel_negligible<K>(b.lower / bandwidth)) return;
        if (n.is_leaf()) {
            kde_leaf<K, M, D>(s, n.start, n.end, q, acc, bandwidth);
            if (check) check->tick((n.end - n.start) * (dim_or<D>(s.dim) + 16));
            return;
        }
        const std::uint64_t count = n.end - n.start;
        bool approx = false;
        switch (criterion.kind) {
            case Kind::None: break;
            case Kind::MinSamples: approx = count >= criterion.min_samples; break;
            case Kind::MaxSpan: approx = tree.kde_span(node) <= criterion.max_span; break;
            case Kind::Combined:
                approx = count >= criterion.min_samples && tree.kde_span(node) <= criterion.max_span;
                break;
        }
        if (approx) {
            const auto [dmin, dmax] = tree.template kde_extremes<M, D>(node, q, b);
            acc += (kernel_value<K>(dmin / bandwidth) + kernel_value<K>(dmax / bandwidth)) * 0.5 *
                   static_cast<double>(count);
            return;
        }
        kde_recursive<K, M, D>(tree, n.left, q, acc, bandwidth, criterion, check);
        node = n.right;
    }
}

// Queries of a density estimate: (n_queries, dim).
inline void check_density_queries(const ArrayF64& queries, std::uint64_t dim) {
    if (queries.ndim() != 2) panic("Expected 2D array (n_queries, dim)");
    if (queries.shape[1] != dim) panic_assert_eq("Query dimension must match tree dimension", queries.shape[1], dim);
}

// One walk per query row; entry i is the sum for row i, accumulated from +0.0.
template <DensityTree T>
ArrayF64 kernel_density_walk(const T& tree, const ArrayF64& queries, KernelType kernel,
                             const ApproxCriterion& criterion, double bandwidth) {
    const PointStorage& s = tree.storage;
    check_density_queries(queries, s.dim);
    const std::size_t n_queries = queries.shape[0];
    if (s.n_points == 0) return ArrayF64::zeros(Shape::d1(n_queries));
    ArrayF64 out = ArrayF64::uninit(Shape::d1(n_queries));
    with_kernel(kernel, [&]<KernelType K>() {
        with_metric(s.metric, [&]<DistanceMetric M>() {
            with_dim(s.dim, [&]<std::size_t D>() {
                InterruptCheck check;
                for (std::size_t i = 0; i < n_queries; ++i) {
                    double acc = 0.0;
                    kde_recursive<K, M, D>(tree, 0, queries.data.data() + i * s.dim, acc, bandwidth, criterion, &check);
                    out.data[i] = acc;
                    check.tick(s.dim + 4);
                }
            });
        });
    });
    return out;
}

template <class Tree>
double DensityEstimates<Tree>::density_at(const double* q, KernelType kernel, const ApproxCriterion& criterion,
                                          double bandwidth) const {
    const Tree& tree = static_cast<const Tree&>(*this);
    const PointStorage& s = tree.storage;
    double acc = 0.0;
    if (s.n_points == 0) return acc;
    with_kernel(kernel, [&]<KernelType K>() {
        with_metric(s.metric, [&]<DistanceMetric M>() {
            with_dim(s.dim, [&]<std::size_t D>() { kde_recursive<K, M, D>(tree, 0, q, acc, bandwidth, criterion); });
        });
    });
    return acc;
}

template <class Tree>
ArrayF64 DensityEstimates<Tree>::kernel_density(const ArrayF64& queries, KernelType kernel, double bandwidth) const {
    return kernel_density_approx(queries, kernel, ApproxCriterion::none(), bandwidth);
}

template <class Tree>
ArrayF64 DensityEstimates<Tree>::kernel_density_approx(const ArrayF64& queries, KernelType kernel,
                                                       const ApproxCriterion& criterion, double bandwidth) const {
    return kernel_density_walk(static_cast<const Tree&>(*this), queries, kernel, criterion, bandwidth);
}

}  // namespace kestrum::spatial
