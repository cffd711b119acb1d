// Dimension sizes of a dense row-major array, outermost first. Empty means zero-dimensional.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrum {

struct Shape {
    std::vector<std::uint64_t> dims;

    Shape() = default;
    explicit Shape(std::vector<std::uint64_t> d) : dims(std::move(d)) {}
    Shape(std::initializer_list<std::uint64_t> d) : dims(d) {}

    static Shape d1(std::uint64_t n) { return Shape{n}; }

    // Product of the dimensions (1 for the empty shape). A product that does not fit in 64
    // bits (with no zero dimension) is rejected with an Error naming the shape.
    std::uint64_t size() const;
    std::size_t ndim() const { return dims.size(); }
    std::uint64_t operator[](std::size_t i) const { return dims[i]; }
    std::vector<std::uint64_t> strides_row_major() const;

    static std::optional<Shape> broadcast(const Shape& a, const Shape& b);

    bool operator==(const Shape&) const = default;
};

// "[2, 3]", "[]"
std::string format_dims(const std::vector<std::uint64_t>& dims);

}  // namespace kestrum
