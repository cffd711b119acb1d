// Element-wise arithmetic of two arrays under broadcasting. One instantiation per operation;
// there is no run-time operation code.
#pragma once

#include "array/ndarray.hpp"

namespace kestrum {

namespace op {
struct Add {
    static double apply(double x, double y) { return x + y; }
};
struct Subtract {
    static double apply(double x, double y) { return x - y; }
};
struct Multiply {
    static double apply(double x, double y) { return x * y; }
};
struct Divide {
    static double apply(double x, double y) { return x / y; }
};
}  // namespace op

// Result of the broadcast shape; element k is a.data[i] op b.data[j] for the k-th position pair
// (i, j) of BroadcastIter. Panics "Shapes are not broadcast-compatible".
template <class Op>
ArrayF64 binary_op(const ArrayF64& a, const ArrayF64& b);

// The same result computed strictly pair by pair through BroadcastIter. binary_op uses it
// when the operands offer no long contiguous runs.
template <class Op>
ArrayF64 binary_op_pairwise(const ArrayF64& a, const ArrayF64& b);

}  // namespace kestrum
