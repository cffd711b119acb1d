// Array-with-scalar arithmetic on either side, through the element-wise kernels.
#include "ops/scalar.hpp"

#include "ops/kernels.hpp"

namespace kestrum {

template <class Op>
ArrayF64 scalar_op(const ArrayF64& a, double s) {
    ArrayF64 out = ArrayF64::uninit(a.shape);
    kernels::map_into(out.data.data(), a.data.data(), a.size(), [s](double x) { return Op::apply(x, s); });
    return out;
}

template <class Op>
ArrayF64 scalar_left_op(double s, const ArrayF64& a) {
    ArrayF64 out = ArrayF64::uninit(a.shape);
    kernels::map_into(out.data.data(), a.data.data(), a.size(), [s](double x) { return Op::apply(s, x); });
    return out;
}

#define KESTRUM_SCALAR_OP(Op)                                     \
    template ArrayF64 scalar_op<op::Op>(const ArrayF64&, double); \
    template ArrayF64 scalar_left_op<op::Op>(double, const ArrayF64&);
KESTRUM_SCALAR_OP(Add)
KESTRUM_SCALAR_OP(Subtract)
KESTRUM_SCALAR_OP(Multiply)
KESTRUM_SCALAR_OP(Divide)
#undef KESTRUM_SCALAR_OP

}  // namespace kestrum
