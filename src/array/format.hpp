// Text forms of arrays: shortest round-trip element formatting and the repr.
#pragma once

#include <string>

#include "array/ndarray.hpp"

namespace kestrum {

// Shortest text that reads back to the same double: plain decimal for 0 and magnitudes in
// [1e-4, 1e16), scientific ("1e16", "2.5e-7") otherwise; "NaN", "inf", "-inf".
void append_f64(std::string& out, double x);

// "Array(shape=[2, 2], data=[1.0, 2.5, 0.0, -3.0])"
std::string repr(const ArrayF64& a);

}  // namespace kestrum
