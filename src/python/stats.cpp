// stats submodule entries and the Array members of statistics.
#include "python/areas.hpp"
#include "python/args.hpp"
#include "stats/correlation.hpp"
#include "stats/reductions.hpp"
#include "stats/stats.hpp"

namespace kestrum::py {

namespace {

PyObject* bool_result(bool b) { return Py_NewRef(b ? Py_True : Py_False); }

// A reduction offered both as stats.NAME(a) and as Array.NAME(); `wrap` builds the result.
template <auto op, auto wrap>
PyObject* reduction_function(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        BoundArgs a = bind(sig, args, nargs, kwnames);
        ArrayRef arr = arg_array(a[0], "a");
        return wrap(op(*arr));
    });
}

template <auto op, auto wrap>
PyObject* reduction_method(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    return guarded([&] {
        bind(sig, args, nargs, kwnames);
        ArrayRef arr(self);
        return wrap(op(*arr));
    });
}

#define KESTRUM_REDUCTION(name, op, wrap)                                                                 \
    PyObject* name##_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {    \
        static const Signature sig{#name, {"a"}, 1};                                                    \
        return reduction_function<op, wrap>(sig, args, nargs, kwnames);                                  \
    }                                                                                                    \
    PyObject* name##_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) { \
        static const Signature sig{"Array." #name, {}, 0};                                              \
        return reduction_method<op, wrap>(sig, self, args, nargs, kwnames);                              \
    }

KESTRUM_REDUCTION(sum, stats::sum, float_result)
KESTRUM_REDUCTION(mean, stats::mean, float_result)
KESTRUM_REDUCTION(var, stats::var, float_result)
KESTRUM_REDUCTION(std, stats::std_dev, float_result)
KESTRUM_REDUCTION(any, stats::any, bool_result)
KESTRUM_REDUCTION(all, stats::all, bool_result)
KESTRUM_REDUCTION(median, stats::median, float_result)

#undef KESTRUM_REDUCTION

// A number gives a float; an Array of probabilities gives a 1-D Array (its shape is ignored).
PyObject* quantile_of(const ArrayF64& a, PyObject* q_object) {
    ArrayOrScalar q = arg_array_or_scalar(q_object, "q");
    if (const double* p = std::get_if<double>(&q)) return float_result(stats::quantile(a, *p));
    const ArrayF64& qs = std::get<ArrayF64>(q);
    return wrap_array(stats::quantiles(a, {qs.data.data(), qs.size()}));
}

PyObject* quantile_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static const Signature sig{"quantile", {"a", "q"}, 2};
        BoundArgs a = bind(sig, args, nargs, kwnames);
        ArrayRef arr = arg_array(a[0], "a");
        return quantile_of(*arr, a[1]);
    });
}

PyObject* quantile_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static const Signature sig{"Array.quantile", {"q"}, 1};
        BoundArgs a = bind(sig, args, nargs, kwnames);
        ArrayRef arr(self);
        return quantile_of(*arr, a[0]);
    });
}

template <auto op>
PyObject* correlation(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        BoundArgs a = bind(sig, args, nargs, kwnames);
        ArrayRef x = arg_array(a[0], "a");
        ArrayRef y = arg_array(a[1], "b");
        return float_result(op(*x, *y));
    });
}

PyObject* pearson_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"pearson", {"a", "b"}, 2};
    return correlation<stats::pearson>(sig, args, nargs, kwnames);
}

PyObject* spearman_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"spearman", {"a", "b"}, 2};
    return correlation<stats::spearman>(sig, args, nargs, kwnames);
}

}  // namespace

PyMethodDef stats_functions[] = {
    {"sum", KESTRUM_FASTCALL(sum_function), KESTRUM_ENTRY_FLAGS, "sum(a)\n--\n\n"},
    {"mean", KESTRUM_FASTCALL(mean_function), KESTRUM_ENTRY_FLAGS, "mean(a)\n--\n\n"},
    {"var", KESTRUM_FASTCALL(var_function), KESTRUM_ENTRY_FLAGS, "var(a)\n--\n\n"},
    {"std", KESTRUM_FASTCALL(std_function), KESTRUM_ENTRY_FLAGS, "std(a)\n--\n\n"},
    {"median", KESTRUM_FASTCALL(median_function), KESTRUM_ENTRY_FLAGS, "median(a)\n--\n\n"},
    {"quantile", KESTRUM_FASTCALL(quantile_function), KESTRUM_ENTRY_FLAGS, "quantile(a, q)\n--\n\n"},
    {"any", KESTRUM_FASTCALL(any_function), KESTRUM_ENTRY_FLAGS, "any(a)\n--\n\n"},
    {"all", KESTRUM_FASTCALL(all_function), KESTRUM_ENTRY_FLAGS, "all(a)\n--\n\n"},
    {"pearson", KESTRUM_FASTCALL(pearson_function), KESTRUM_ENTRY_FLAGS, "pearson(a, b)\n--\n\n"},
    {"spearman", KESTRUM_FASTCALL(spearman_function), KESTRUM_ENTRY_FLAGS, "spearman(a, b)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef stats_array_methods[] = {
    {"sum", KESTRUM_FASTCALL(sum_method), KESTRUM_ENTRY_FLAGS, "sum($self)\n--\n\n"},
    {"mean", KESTRUM_FASTCALL(mean_method), KESTRUM_ENTRY_FLAGS, "mean($self)\n--\n\n"},
    {"var", KESTRUM_FASTCALL(var_method), KESTRUM_ENTRY_FLAGS, "var($self)\n--\n\n"},
    {"std", KESTRUM_FASTCALL(std_method), KESTRUM_ENTRY_FLAGS, "std($self)\n--\n\n"},
    {"any", KESTRUM_FASTCALL(any_method), KESTRUM_ENTRY_FLAGS, "any($self)\n--\n\n"},
    {"all", KESTRUM_FASTCALL(all_method), KESTRUM_ENTRY_FLAGS, "all($self)\n--\n\n"},
    {"median", KESTRUM_FASTCALL(median_method), KESTRUM_ENTRY_FLAGS, "median($self)\n--\n\n"},
    {"quantile", KESTRUM_FASTCALL(quantile_method), KESTRUM_ENTRY_FLAGS, "quantile($self, q)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kestrum::py
