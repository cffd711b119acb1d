// Element-wise arithmetic of an array with one scalar, on either side.
#pragma once

#include "array/ndarray.hpp"
#include "ops/arithmetic.hpp"

namespace kestrum {

// Each element x becomes x op s; same shape.
template <class Op>
ArrayF64 scalar_op(const ArrayF64& a, double s);

// Each element x becomes s op x; same shape.
template <class Op>
ArrayF64 scalar_left_op(double s, const ArrayF64& a);

}  // namespace kestrum
