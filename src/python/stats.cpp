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
PyObject* reduction_body(PyObject*, const BoundArgs& a) {
    return wrap(op(*arg_array(a[0], "a")));
}

template <auto op, auto wrap>
PyObject* reduction_method_body(PyObject* self, const BoundArgs&) {
    return wrap(op(*ArrayRef(self)));
}

// A number gives a float; an Array of probabilities gives a 1-D Array (its shape is ignored).
PyObject* quantile_of(const ArrayF64& a, PyObject* q_object) {
    ArrayOrScalar q = arg_array_or_scalar(q_object, "q");
    if (const double* p = std::get_if<double>(&q)) return float_result(stats::quantile(a, *p));
    const ArrayF64& qs = std::get<ArrayF64>(q);
    return wrap_array(stats::quantiles(a, {qs.data.data(), qs.size()}));
}

PyObject* quantile_body(PyObject*, const BoundArgs& a) { return quantile_of(*arg_array(a[0], "a"), a[1]); }

PyObject* quantile_method_body(PyObject* self, const BoundArgs& a) { return quantile_of(*ArrayRef(self), a[0]); }

template <auto op>
PyObject* correlation_body(PyObject*, const BoundArgs& a) {
    ArrayRef x = arg_array(a[0], "a");
    ArrayRef y = arg_array(a[1], "b");
    return float_result(op(*x, *y));
}

#define KESTRUM_SIGNATURES(name)                            \
    const Signature sig_##name{#name, {"a"}, 1};            \
    const Signature sig_array_##name{"Array." #name, {}, 0};
KESTRUM_SIGNATURES(sum)
KESTRUM_SIGNATURES(mean)
KESTRUM_SIGNATURES(var)
KESTRUM_SIGNATURES(std)
KESTRUM_SIGNATURES(any)
KESTRUM_SIGNATURES(all)
KESTRUM_SIGNATURES(median)
#undef KESTRUM_SIGNATURES
const Signature sig_quantile{"quantile", {"a", "q"}, 2}, sig_array_quantile{"Array.quantile", {"q"}, 1};
const Signature sig_pearson{"pearson", {"a", "b"}, 2}, sig_spearman{"spearman", {"a", "b"}, 2};

}  // namespace

// Function and method entries of one reduction.
#define KESTRUM_REDUCTION(name, op, wrap) \
    {#name, KESTRUM_ENTRY(sig_##name, (reduction_body<op, wrap>)), KESTRUM_ENTRY_FLAGS, #name "(a)\n--\n\n"}
#define KESTRUM_REDUCTION_METHOD(name, op, wrap)                                                  \
    {#name, KESTRUM_ENTRY(sig_array_##name, (reduction_method_body<op, wrap>)), KESTRUM_ENTRY_FLAGS, \
     #name "($self)\n--\n\n"}

PyMethodDef stats_functions[] = {
    KESTRUM_REDUCTION(sum, stats::sum, float_result),
    KESTRUM_REDUCTION(mean, stats::mean, float_result),
    KESTRUM_REDUCTION(var, stats::var, float_result),
    KESTRUM_REDUCTION(std, stats::std_dev, float_result),
    KESTRUM_REDUCTION(median, stats::median, float_result),
    {"quantile", KESTRUM_ENTRY(sig_quantile, quantile_body), KESTRUM_ENTRY_FLAGS, "quantile(a, q)\n--\n\n"},
    KESTRUM_REDUCTION(any, stats::any, bool_result),
    KESTRUM_REDUCTION(all, stats::all, bool_result),
    {"pearson", KESTRUM_ENTRY(sig_pearson, correlation_body<stats::pearson>), KESTRUM_ENTRY_FLAGS,
     "pearson(a, b)\n--\n\n"},
    {"spearman", KESTRUM_ENTRY(sig_spearman, correlation_body<stats::spearman>), KESTRUM_ENTRY_FLAGS,
     "spearman(a, b)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef stats_array_methods[] = {
    KESTRUM_REDUCTION_METHOD(sum, stats::sum, float_result),
    KESTRUM_REDUCTION_METHOD(mean, stats::mean, float_result),
    KESTRUM_REDUCTION_METHOD(var, stats::var, float_result),
    KESTRUM_REDUCTION_METHOD(std, stats::std_dev, float_result),
    KESTRUM_REDUCTION_METHOD(any, stats::any, bool_result),
    KESTRUM_REDUCTION_METHOD(all, stats::all, bool_result),
    KESTRUM_REDUCTION_METHOD(median, stats::median, float_result),
    {"quantile", KESTRUM_ENTRY(sig_array_quantile, quantile_method_body), KESTRUM_ENTRY_FLAGS,
     "quantile($self, q)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

#undef KESTRUM_REDUCTION
#undef KESTRUM_REDUCTION_METHOD

}  // namespace kestrum::py
