// stats submodule entries and the Array members of statistics.
#include "python/areas.hpp"
#include "python/args.hpp"
#include "stats/correlation.hpp"
#include "stats/quantiles.hpp"
#include "stats/reductions.hpp"

namespace kestrum::py {

namespace {

PyObject* bool_result(bool b) { return PyBool_FromLong(b); }

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

// The function stats.NAME(a) and the method Array.NAME() of one reduction.
#define KESTRUM_REDUCTION(name, op, wrap)                                                          \
    Entry name##_entry{#name, Kind::function, nullptr, {required("a")}, reduction_body<op, wrap>}; \
    Entry array_##name##_entry{#name, Kind::method, "Array", {}, reduction_method_body<op, wrap>};
KESTRUM_REDUCTION(sum, stats::sum, float_result)
KESTRUM_REDUCTION(mean, stats::mean, float_result)
KESTRUM_REDUCTION(var, stats::var, float_result)
KESTRUM_REDUCTION(std, stats::std_dev, float_result)
KESTRUM_REDUCTION(median, stats::median, float_result)
KESTRUM_REDUCTION(any, stats::any, bool_result)
KESTRUM_REDUCTION(all, stats::all, bool_result)
#undef KESTRUM_REDUCTION
Entry quantile_entry{"quantile", Kind::function, nullptr, {required("a"), required("q")}, quantile_body};
Entry array_quantile_entry{"quantile", Kind::method, "Array", {required("q")}, quantile_method_body};
Entry pearson_entry{
    "pearson", Kind::function, nullptr, {required("a"), required("b")}, correlation_body<stats::pearson>};
Entry spearman_entry{
    "spearman", Kind::function, nullptr, {required("a"), required("b")}, correlation_body<stats::spearman>};

constexpr Member function_rows[] = {
    member<sum_entry>,      member<mean_entry>, member<var_entry>, member<std_entry>,     member<median_entry>,
    member<quantile_entry>, member<any_entry>,  member<all_entry>, member<pearson_entry>, member<spearman_entry>,
};

constexpr Member array_rows[] = {
    member<array_sum_entry>, member<array_mean_entry>, member<array_var_entry>,    member<array_std_entry>,
    member<array_any_entry>, member<array_all_entry>,  member<array_median_entry>, member<array_quantile_entry>,
};

}  // namespace

constinit const std::span<const Member> stats_functions = function_rows;
constinit const std::span<const Member> stats_array_methods = array_rows;

}  // namespace kestrum::py
