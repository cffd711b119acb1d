// Element-wise functions of one array: negation, abs, sign, sqrt, clip and the C-library functions.
#include "ops/elementwise.hpp"

#include <cmath>

#include "ops/kernels.hpp"
#include "vmath/vmath.hpp"

namespace kestrum::elementwise {

namespace {

// The same result as NdArray::map, with the loop compiled for the widest vectors available;
// for functions that need no library call.
template <class F>
ArrayF64 map_vectorised(const ArrayF64& a, F f) {
    ArrayF64 out = ArrayF64::uninit(a.shape);
    kernels::map_into(out.data.data(), a.data.data(), a.size(), f);
    return out;
}

}  // namespace

ArrayF64 negate(const ArrayF64& a) {
    return map_vectorised(a, [](double x) { return -x; });
}
ArrayF64 abs(const ArrayF64& a) {
    return map_vectorised(a, [](double x) { return std::fabs(x); });
}
ArrayF64 sign(const ArrayF64& a) {
    return map_vectorised(a, [](double x) { return x > 0.0 ? 1.0 : (x < 0.0 ? -1.0 : 0.0); });
}
ArrayF64 sqrt(const ArrayF64& a) {
    return map_vectorised(a, [](double x) { return std::sqrt(x); });
}
ArrayF64 clip(const ArrayF64& a, double min, double max) {
    return map_vectorised(a, [min, max](double x) { return min > x ? min : (x > max ? max : x); });
}

// The C library's exp and log, bit for bit, over the whole run at once.
ArrayF64 exp(const ArrayF64& a) {
    ArrayF64 out = ArrayF64::uninit(a.shape);
    vmath::exp(out.data.data(), a.data.data(), a.size());
    return out;
}
ArrayF64 log(const ArrayF64& a) {
    ArrayF64 out = ArrayF64::uninit(a.shape);
    vmath::log(out.data.data(), a.data.data(), a.size());
    return out;
}

// The other C-library functions, one call per element.
ArrayF64 sin(const ArrayF64& a) {
    return a.map([](double x) { return ::sin(x); });
}
ArrayF64 cos(const ArrayF64& a) {
    return a.map([](double x) { return ::cos(x); });
}
ArrayF64 tan(const ArrayF64& a) {
    return a.map([](double x) { return ::tan(x); });
}
ArrayF64 arcsin(const ArrayF64& a) {
    return a.map([](double x) { return ::asin(x); });
}
ArrayF64 arccos(const ArrayF64& a) {
    return a.map([](double x) { return ::acos(x); });
}
ArrayF64 arctan(const ArrayF64& a) {
    return a.map([](double x) { return ::atan(x); });
}

}  // namespace kestrum::elementwise
