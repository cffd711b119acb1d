// Argument converters, one per parameter kind, and the builders of common results.
#include "python/args.hpp"

#include <cstring>

namespace kestrum::py {

// ---- conversion errors --------------------------------------------------------------------------

void reraise_for_argument(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw PyErrSet{};
    Ref error(take_pending_exception());
    Ref text(check(PyObject_Str(error.get())));
    Ref cause(PyException_GetCause(error.get()));
    Ref exc(check(PyObject_CallFunction(PyExc_TypeError, "s", "")));
    Ref msg(check(PyUnicode_FromFormat("argument '%s': %U", name, text.get())));
    Ref argsv(PyTuple_Pack(1, msg.get()));
    if (argsv) PyObject_SetAttrString(exc.get(), "args", argsv.get());
    if (cause) PyException_SetCause(exc.get(), cause.release());  // steals
    PyErr_SetObject(PyExc_TypeError, exc.get());
    throw PyErrSet{};
}

bool clear_if_fallback(Fallback when) {
    const bool fallback = when == Fallback::on_conversion_error
                              ? PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_ValueError) ||
                                    PyErr_ExceptionMatches(PyExc_OverflowError)
                              : PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError);
    if (fallback) PyErr_Clear();
    return fallback;
}

[[noreturn]] static void cannot_cast(PyObject* o, const char* target) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be cast as '%s'", type_name_of(o), target);
    throw PyErrSet{};
}

// ---- scalar conversions ---------------------------------------------------------------------

double to_f64(PyObject* o) {
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    const double x = PyFloat_AsDouble(o);
    if (x == -1.0 && PyErr_Occurred()) throw PyErrSet{};
    return x;
}

// The int an integer parameter reads: `o` itself or its __index__ (never __int__, which older
// interpreters would also try, so that 1.0 is refused everywhere).
static Ref as_int(PyObject* o) {
    if (PyLong_Check(o)) {
        Py_INCREF(o);
        return Ref(o);
    }
    return Ref(check(PyNumber_Index(o)));
}

std::uint64_t to_u64(PyObject* o) {
    const unsigned long long v = PyLong_AsUnsignedLongLong(as_int(o).get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrSet{};
    return v;
}

std::int64_t to_i64(PyObject* o) {
    const long long v = PyLong_AsLongLong(as_int(o).get());
    if (v == -1 && PyErr_Occurred()) throw PyErrSet{};
    return v;
}

// Iterates a sequence (not a str), converting each item with `item`; `reserve` receives the
// reported length as a capacity hint.
template <class Reserve, class Item>
static void for_each_sequence_item(PyObject* o, Reserve&& reserve, Item&& item) {
    if (PyUnicode_Check(o)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(o)) cannot_cast(o, "Sequence");
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
        // Items are converted one by one; a conversion may run Python code that resizes a list,
        // so the length is re-read on every step.
        reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(o)));
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o); ++i) {
            PyObject* it = PySequence_Fast_GET_ITEM(o, i);
            Py_INCREF(it);
            Ref hold(it);
            item(it);
        }
        return;
    }
    const Py_ssize_t hint = PyObject_LengthHint(o, 0);
    if (hint < 0) PyErr_Clear();
    else reserve(static_cast<std::size_t>(hint));
    Ref iter(PyObject_GetIter(o));
    if (!iter) throw PyErrSet{};
    while (PyObject* it = PyIter_Next(iter.get())) {
        Ref hold(it);
        item(it);
    }
    if (PyErr_Occurred()) throw PyErrSet{};
}

std::vector<std::uint64_t> to_u64_list(PyObject* o) {
    std::vector<std::uint64_t> out;
    for_each_sequence_item(
        o, [&](std::size_t n) { out.reserve(std::min<std::size_t>(n, 1 << 20)); },
        [&](PyObject* it) { out.push_back(to_u64(it)); });
    return out;
}

std::vector<double> to_f64_list(PyObject* o) {
    std::vector<double> out;
    for_each_sequence_item(
        o, [&](std::size_t n) { out.reserve(std::min<std::size_t>(n, 1 << 24)); },
        [&](PyObject* it) { out.push_back(to_f64(it)); });
    return out;
}

Buffer<double> to_f64_buffer(PyObject* o) {
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
        // Fast path: all items exact floats, the common case for literal data.
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
        PyObject** items = PySequence_Fast_ITEMS(o);
        bool all_float = true;
        for (Py_ssize_t i = 0; i < n && all_float; ++i) all_float = PyFloat_CheckExact(items[i]);
        if (all_float) {
            Buffer<double> b = Buffer<double>::uninit(static_cast<std::size_t>(n));
            for (Py_ssize_t i = 0; i < n; ++i) b[i] = PyFloat_AS_DOUBLE(items[i]);
            return b;
        }
    }
    if (is_array(o)) {
        ArrayRef a(o);
        return a->data;
    }
    std::vector<double> v = to_f64_list(o);
    return Buffer<double>(v);
}

// ---- named conversions ----------------------------------------------------------------------

double arg_f64(PyObject* o, const char* name) {
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    return with_argument(name, [&] { return to_f64(o); });
}
std::uint64_t arg_u64(PyObject* o, const char* name) {
    return with_argument(name, [&] { return to_u64(o); });
}
std::int64_t arg_i64(PyObject* o, const char* name) {
    return with_argument(name, [&] { return to_i64(o); });
}
std::vector<std::uint64_t> arg_u64_list(PyObject* o, const char* name) {
    return with_argument(name, [&] { return to_u64_list(o); });
}
Shape arg_shape(PyObject* o) { return Shape(arg_u64_list(o, "shape")); }

Buffer<double> arg_f64_list(PyObject* o, const char* name) {
    return with_argument(name, [&] { return to_f64_buffer(o); });
}

ArrayRef arg_array(PyObject* o, const char* name) {
    if (!is_array(o)) with_argument(name, [&] { cannot_cast(o, "Array"); });
    return ArrayRef(o);
}

std::vector<ArrayF64> arg_array_list(PyObject* o, const char* name) {
    return with_argument(name, [&] {
        std::vector<ArrayF64> out;
        for_each_sequence_item(
            o, [&](std::size_t n) { out.reserve(std::min<std::size_t>(n, 1 << 16)); },
            [&](PyObject* it) {
                if (!is_array(it)) cannot_cast(it, "Array");
                out.push_back(ArrayRef(it)->clone());
            });
        return out;
    });
}

std::string arg_str(PyObject* o, const char* name) {
    if (!PyUnicode_Check(o)) {
        with_argument(name, [&] {
            PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyString'", type_name_of(o));
            throw PyErrSet{};
        });
    }
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (!s) raise_current();
    return std::string(s, static_cast<std::size_t>(n));
}

std::optional<std::uint64_t> arg_opt_u64(PyObject* o, const char* name) {
    if (!o || o == Py_None) return std::nullopt;
    return arg_u64(o, name);
}
std::optional<std::int64_t> arg_opt_i64(PyObject* o, const char* name) {
    if (!o || o == Py_None) return std::nullopt;
    return arg_i64(o, name);
}
std::optional<double> arg_opt_f64(PyObject* o, const char* name) {
    if (!o || o == Py_None) return std::nullopt;
    return arg_f64(o, name);
}

// ---- unions ---------------------------------------------------------------------------------

// Describes the pending exception as one alternative's reason and clears it.
static std::string alternative_reason(const char* field) {
    return std::string("TypeError: failed to extract field ") + field + ", caused by " + take_pending_description();
}

[[noreturn]] static void union_failure(const char* enum_name, const char* alternatives, const char* first,
                                       const std::string& first_reason, const char* second,
                                       const std::string& second_reason) {
    std::string msg = std::string("failed to extract enum ") + enum_name + " ('" + alternatives + "')";
    msg += std::string("\n- variant ") + first + " (" + first + "): " + first_reason;
    msg += std::string("\n- variant ") + second + " (" + second + "): " + second_reason;
    raise(PyExc_TypeError, msg);
}

// The Array alternative's reason, written without raising (it is only needed on failure).
static std::string not_an_array_reason(PyObject* o, const char* field) {
    return std::string("TypeError: failed to extract field ") + field + ", caused by TypeError: '" + type_name_of(o) +
           "' object cannot be cast as 'Array'";
}

VecOrArray arg_vec_or_array(PyObject* o, const char* name) {
    return with_argument(name, [&]() -> VecOrArray {
        if (is_array(o)) return ArrayRef(o)->clone();
        try {
            return to_f64_buffer(o);
        } catch (const PyErrSet&) {
            std::string vec_reason = alternative_reason("VecOrArray::Vec.0");
            union_failure("VecOrArray", "Array | Vec", "Array", not_an_array_reason(o, "VecOrArray::Array.0"), "Vec",
                          vec_reason);
        }
    });
}

ArrayF64 as_ndarray(VecOrArray&& v) {
    if (auto* a = std::get_if<ArrayF64>(&v)) return std::move(*a);
    Buffer<double>& b = std::get<Buffer<double>>(v);
    const std::size_t n = b.size();
    return ArrayF64::create(Shape::d1(n), std::move(b));
}

ArrayOrScalar to_array_or_scalar(PyObject* o) {
    if (is_array(o)) return ArrayRef(o)->clone();
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
    try {
        return to_f64(o);
    } catch (const PyErrSet&) {
        std::string scalar_reason = alternative_reason("ArrayOrScalar::Scalar.0");
        union_failure("ArrayOrScalar", "Array | Scalar", "Array", not_an_array_reason(o, "ArrayOrScalar::Array.0"),
                      "Scalar", scalar_reason);
    }
}

ArrayOrScalar arg_array_or_scalar(PyObject* o, const char* name) {
    return with_argument(name, [&] { return to_array_or_scalar(o); });
}

// ---- results --------------------------------------------------------------------------------

PyObject* float_result(double x) { return check(PyFloat_FromDouble(x)); }

PyObject* list_of_indices(const std::vector<std::size_t>& indices) {
    Ref list(check(PyList_New(static_cast<Py_ssize_t>(indices.size()))));
    for (std::size_t i = 0; i < indices.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), check(PyLong_FromSize_t(indices[i])));
    return list.release();
}

PyObject* tuple2(PyObject* a, PyObject* b) {
    Ref ra(a), rb(b);
    PyObject* t = check(PyTuple_New(2));
    PyTuple_SET_ITEM(t, 0, ra.release());
    PyTuple_SET_ITEM(t, 1, rb.release());
    return t;
}

}  // namespace kestrum::py
