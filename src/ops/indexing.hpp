// Element addressing behind subscripts, `get`, slices and membership. Dimension indices are
// signed (negative counts from the end); slices address the flat storage.
#pragma once

#include <cstdint>
#include <span>

#include "array/ndarray.hpp"

namespace kestrum::indexing {

// The position of index i along a dimension of size n, or
// Error "index {i} is out of bounds for axis {axis} with size {n}".
Result<std::uint64_t> normalize(std::int64_t i, std::uint64_t n, std::size_t axis);

// Copy of the sub-array at a partial position (fewer indices than dimensions, each already
// below its dimension); its shape is the remaining dimensions.
ArrayF64 block(const ArrayF64& a, std::span<const std::uint64_t> prefix);

// The flat elements start, start + step, ... before stop (bounds already resolved against the
// element count as for a Python slice); a one-dimensional result.
ArrayF64 slice_flat(const ArrayF64& a, std::int64_t start, std::int64_t stop, std::int64_t step);

// The element at a full position of non-negative indices, or Error "Index out of bounds".
Result<double> get(const ArrayF64& a, std::span<const std::uint64_t> indices);

// Whether some element equals x (IEEE equality: NaN is never found, -0.0 matches 0.0).
bool contains(const ArrayF64& a, double x);

}  // namespace kestrum::indexing
