// The options a caller names by string (metric, kernel, approximation criterion, vantage-point
// selection) parsed into values, and the leaf-size check every tree build makes.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/panic.hpp"
#include "spatial/kernel.hpp"
#include "spatial/metric.hpp"

namespace kestrum::spatial {

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

// The leaf size of a tree built without one.
inline constexpr std::uint64_t kDefaultLeafSize = 20;

// leaf_size 0 would split one-point nodes forever.
std::optional<Error> check_leaf_size(std::uint64_t leaf_size);

}  // namespace kestrum::spatial
