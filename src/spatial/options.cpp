// Parsers of the named tree options and their messages.
#include "spatial/options.hpp"

#include <string>

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
    return Error{quoted("Unknown distance metric ", given, ". Valid options: 'euclidean', 'manhattan', 'chebyshev'")};
}

Result<KernelType> parse_kernel(std::string_view lowered, std::string_view given) {
    if (lowered == "gaussian") return KernelType::Gaussian;
    if (lowered == "epanechnikov") return KernelType::Epanechnikov;
    if (lowered == "uniform") return KernelType::Uniform;
    if (lowered == "triangular") return KernelType::Triangular;
    return Error{
        quoted("Unknown kernel type ", given, ". Valid options: 'gaussian', 'epanechnikov', 'uniform', 'triangular'")};
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

}  // namespace kestrum::spatial
