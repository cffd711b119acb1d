// Array arithmetic operators (+ - * / and negation) and element-wise math methods.
#include <optional>

#include "ops/arithmetic.hpp"
#include "ops/elementwise.hpp"
#include "ops/scalar.hpp"
#include "python/args.hpp"
#include "python/array_parts.hpp"

namespace kestrum::py {

namespace {

// A float64 by the number rule, or nothing (the conversion error is discarded).
std::optional<double> number_or_nothing(PyObject* o) {
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    return attempt(Fallback::on_ordinary_error, [&] { return to_f64(o); });
}

// `array op right`: another Array (broadcast) or a number; nothing when `right` is neither.
template <class Op>
PyObject* forward_op(PyObject* left, PyObject* right) {
    ArrayRef a(left);
    if (is_array(right)) {
        // Read in place: the result cannot differ from operating on a copy, as no Python code
        // runs while both are borrowed. A right operand being written (exclusively borrowed)
        // fails its conversion like any other unsupported operand.
        if (box<ArrayF64>(right)->borrow.state < 0) return nullptr;
        ArrayRef b(right);
        return wrap_array(binary_op<Op>(*a, *b));
    }
    const std::optional<double> s = number_or_nothing(right);
    if (!s) return nullptr;
    return wrap_array(scalar_op<Op>(*a, *s));
}

// `number op array` (the reflected form); nothing when `left` is not a number.
template <class Op>
PyObject* reflected_op(PyObject* left, PyObject* right) {
    ArrayRef b(right);
    const std::optional<double> s = is_array(left) ? std::nullopt : number_or_nothing(left);
    if (!s) return nullptr;
    return wrap_array(scalar_left_op<Op>(*s, *b));
}

template <class Op>
PyObject* arithmetic_slot(PyObject* left, PyObject* right) {
    return guarded([&]() -> PyObject* {
        if (is_array(left))
            if (PyObject* r = forward_op<Op>(left, right)) return r;
        if (is_array(right))
            if (PyObject* r = reflected_op<Op>(left, right)) return r;
        Py_RETURN_NOTIMPLEMENTED;
    });
}

PyObject* negative_slot(PyObject* self) {
    return guarded([&] {
        ArrayRef a(self);
        return wrap_array(elementwise::negate(*a));
    });
}

// ---- element-wise math ------------------------------------------------------------------------

template <ArrayF64 (*F)(const ArrayF64&)>
PyObject* math_body(PyObject* self, const BoundArgs&) {
    ArrayRef a(self);
    return wrap_array(F(*a));
}

PyObject* clip_body(PyObject* self, const BoundArgs& args) {
    ArrayRef a(self);
    const double min = arg_f64(args[0], "min");
    const double max = arg_f64(args[1], "max");
    return wrap_array(elementwise::clip(*a, min, max));
}

#define KESTRUM_MATH(name) Entry name##_entry{#name, Kind::method, "Array", {}, math_body<elementwise::name>};
KESTRUM_MATH(abs)
KESTRUM_MATH(sign)
KESTRUM_MATH(sqrt)
KESTRUM_MATH(exp)
KESTRUM_MATH(log)
KESTRUM_MATH(sin)
KESTRUM_MATH(cos)
KESTRUM_MATH(tan)
KESTRUM_MATH(arcsin)
KESTRUM_MATH(arccos)
KESTRUM_MATH(arctan)
#undef KESTRUM_MATH
Entry clip_entry{"clip", Kind::method, "Array", {required("min"), required("max")}, clip_body};

constexpr Member rows[] = {
    member<abs_entry>,    member<sign_entry>,   member<sqrt_entry>,   member<exp_entry>,
    member<log_entry>,    member<sin_entry>,    member<cos_entry>,    member<tan_entry>,
    member<arcsin_entry>, member<arccos_entry>, member<arctan_entry>, member<clip_entry>,
};

const PyType_Slot slots[] = {
    {Py_nb_add, reinterpret_cast<void*>(arithmetic_slot<op::Add>)},
    {Py_nb_subtract, reinterpret_cast<void*>(arithmetic_slot<op::Subtract>)},
    {Py_nb_multiply, reinterpret_cast<void*>(arithmetic_slot<op::Multiply>)},
    {Py_nb_true_divide, reinterpret_cast<void*>(arithmetic_slot<op::Divide>)},
    {Py_nb_negative, reinterpret_cast<void*>(negative_slot)},
};

}  // namespace

constinit const ClassPart array_operators{rows, slots};

}  // namespace kestrum::py
