// One scalar function applied to every element; the result has the operand's shape.
#pragma once

#include "array/ndarray.hpp"

namespace kestrum::elementwise {

ArrayF64 negate(const ArrayF64& a);  // sign bit inverted: 0.0 -> -0.0
ArrayF64 abs(const ArrayF64& a);     // sign bit cleared
ArrayF64 sign(const ArrayF64& a);    // 1.0, -1.0, or +0.0 for zeros and NaN
ArrayF64 sqrt(const ArrayF64& a);
ArrayF64 exp(const ArrayF64& a);
ArrayF64 log(const ArrayF64& a);
ArrayF64 sin(const ArrayF64& a);
ArrayF64 cos(const ArrayF64& a);
ArrayF64 tan(const ArrayF64& a);
ArrayF64 arcsin(const ArrayF64& a);
ArrayF64 arccos(const ArrayF64& a);
ArrayF64 arctan(const ArrayF64& a);
// min if min > x, else max if x > max, else x (plain IEEE comparisons: NaN bounds do nothing).
ArrayF64 clip(const ArrayF64& a, double min, double max);

}  // namespace kestrum::elementwise
