// spatial submodule: the KDTree, BallTree and VPTree classes and their query entries.
// Each instance owns one immutable core tree; instances are made only by the static `from_array`.
#include <new>
#include <string>

#include "python/areas.hpp"
#include "python/args.hpp"
#include "python/docs.hpp"
#include "python/release.hpp"
#include "python/spatial_batch.hpp"
#include "spatial/ball_tree.hpp"
#include "spatial/batch.hpp"
#include "spatial/kd_tree.hpp"
#include "spatial/vp_tree.hpp"

namespace kestrum::py {

namespace {

using namespace kestrum::spatial;

// ---- option names -----------------------------------------------------------------------------

// An option string with its full Unicode lower-cased form (the parsers match the latter and
// quote the former).
struct OptionName {
    std::string given;
    std::string lowered;
};

OptionName option_name(PyObject* o, const char* argname, const char* fallback) {
    if (!o || o == Py_None) return {fallback, fallback};
    OptionName name{arg_str(o, argname), {}};
    Ref lower(check(PyObject_CallMethod(o, "lower", nullptr)));
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(lower.get(), &n);
    if (!s) raise_current();
    name.lowered.assign(s, static_cast<std::size_t>(n));
    return name;
}

template <class T>
T parse(Result<T> (*parser)(std::string_view, std::string_view), const OptionName& name) {
    return unwrap(parser(name.lowered, name.given));
}

// ---- query arguments --------------------------------------------------------------------------

// A query form's conversion: its TypeError, ValueError or OverflowError (a number beyond float64)
// means "try the next form"; anything else the query object raises propagates.
template <class F>
auto query_form(F&& convert) {
    return attempt(Fallback::on_conversion_error, std::forward<F>(convert));
}

// One query point: a number, a flat sequence of numbers, or the elements of an Array (read in
// place for the duration of the call). Tried in that order; a str is never a sequence here.
class SingleQuery {
public:
    explicit SingleQuery(PyObject* o) {
        if (PyFloat_CheckExact(o)) {
            set_one(PyFloat_AS_DOUBLE(o));
            return;
        }
        // Exact lists and tuples are never numbers; the common all-float case needs no conversion.
        const bool plain_sequence = PyList_CheckExact(o) || PyTuple_CheckExact(o);
        if (plain_sequence && read_floats(o)) return;
        const bool array = is_array(o);
        if (!plain_sequence && !array)
            if (const std::optional<double> x = query_form([&] { return to_f64(o); })) {
                set_one(*x);
                return;
            }
        if (!array && !PyUnicode_Check(o))
            if (std::optional<std::vector<double>> values = query_form([&] { return to_f64_list(o); })) {
                owned_ = std::move(*values);
                set(owned_.data(), owned_.size());
                return;
            }
        if (array) {
            array_.emplace(o);
            set((*array_)->data.data(), (*array_)->data.size());
            return;
        }
        raise(PyExc_ValueError, "query must be a scalar, list, or Array");
    }

    Query get() const { return Query{x_, n_}; }

private:
    void set(const double* x, std::size_t n) {
        x_ = x;
        n_ = n;
    }
    void set_one(double x) {
        small_[0] = x;
        set(small_, 1);
    }
    // All items exact floats: copied without conversion calls. Otherwise false, nothing read.
    bool read_floats(PyObject* seq) {
        const std::size_t n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq));
        PyObject** items = PySequence_Fast_ITEMS(seq);
        for (std::size_t i = 0; i < n; ++i)
            if (!PyFloat_CheckExact(items[i])) return false;
        double* out = small_;
        if (n > kSmall) {
            owned_.resize(n);
            out = owned_.data();
        }
        for (std::size_t i = 0; i < n; ++i) out[i] = PyFloat_AS_DOUBLE(items[i]);
        set(out, n);
        return true;
    }

    static constexpr std::size_t kSmall = 8;
    double small_[kSmall];
    std::vector<double> owned_;
    std::optional<ArrayRef> array_;
    const double* x_ = nullptr;
    std::size_t n_ = 0;
};

// The (n_queries, dim) array of density queries.
ArrayF64 multi_query(PyObject* o, const PointStorage& storage) {
    const std::uint64_t dim = storage.dim;
    if (!o || o == Py_None) return storage.points();
    if (!is_array(o))
        if (const std::optional<double> x = query_form([&] { return to_f64(o); }))
            return ArrayF64::create(Shape{1, 1}, Buffer<double>{*x});
    if (is_array(o)) {
        ArrayRef a(o);
        const auto& dims = a->shape.dims;
        if (dims.size() != 1 && dims.size() != 2) raise(PyExc_ValueError, "queries must be 1D or 2D array");
        const std::uint64_t width = dims.back();
        if (width != dim)
            raise(PyExc_ValueError,
                  "Query dimension " + std::to_string(width) + " doesn't match tree dimension " + std::to_string(dim));
        const std::uint64_t rows = dims.size() == 1 ? 1 : dims[0];
        return ArrayF64::create(Shape{rows, dim}, a->data);
    }
    if (!PyUnicode_Check(o))
        if (const std::optional<std::vector<double>> values = query_form([&] { return to_f64_list(o); })) {
            if (values->size() != dim)
                raise(PyExc_ValueError, "Query vector length " + std::to_string(values->size()) +
                                            " doesn't match tree dimension " + std::to_string(dim));
            return ArrayF64::create(Shape{1, dim}, Buffer<double>(*values));
        }
    raise(PyExc_ValueError, "queries must be a scalar, list, or Array");
}

// One entry: a float; otherwise an Array of shape (n_queries,).
PyObject* density_result(ArrayF64&& sums) {
    if (sums.size() == 1) return float_result(sums.data[0]);
    return wrap_array(std::move(sums));
}

// ---- classes ----------------------------------------------------------------------------------

template <class Tree>
using TreeRef = ValueRef<Tree>;

struct KDClass {
    using Tree = KDTree;
    static PyTypeObject* type() { return kd_tree_type(); }
    static constexpr const char* name = "KDTree";
    static constexpr const char* doc = docs::kd_tree;
};
struct BallClass {
    using Tree = BallTree;
    static PyTypeObject* type() { return ball_tree_type(); }
    static constexpr const char* name = "BallTree";
    static constexpr const char* doc = docs::ball_tree;
};
struct VPClass {
    using Tree = VPTree;
    static PyTypeObject* type() { return vp_tree_type(); }
    static constexpr const char* name = "VPTree";
    static constexpr const char* doc = docs::vp_tree;
};

template <class C>
PyObject* wrap_tree(typename C::Tree&& tree) {
    return wrap_value(C::type(), std::move(tree));
}

// Defaults of the arguments.
constexpr std::uint64_t kDefaultLeafSize = 20;
constexpr const char* kDefaultMetric = "euclidean";
constexpr const char* kDefaultSelection = "first";
constexpr const char* kDefaultKernel = "gaussian";
constexpr const char* kDefaultCriterion = "none";
constexpr double kDefaultBandwidth = 1.0;

template <class C>
PyObject* from_array_body(PyObject*, const BoundArgs& a) {
    ArrayRef array = arg_array(a[0], "array");
    const std::uint64_t leaf_size = a.present(1) ? arg_u64(a[1], "leaf_size") : kDefaultLeafSize;
    const OptionName metric_name = option_name(a[2], "metric", kDefaultMetric);
    if constexpr (std::is_same_v<C, VPClass>) {
        const OptionName selection_name = option_name(a[3], "selection", kDefaultSelection);
        const DistanceMetric metric = parse(parse_metric, metric_name);
        const bool random = parse(parse_selection, selection_name);
        return wrap_tree<C>(unwrap(VPTree::from_ndarray(*array, leaf_size, metric, random)));
    } else {
        const DistanceMetric metric = parse(parse_metric, metric_name);
        return wrap_tree<C>(unwrap(C::Tree::from_ndarray(*array, leaf_size, metric)));
    }
}

template <class C>
PyObject* query_knn_body(PyObject* self, const BoundArgs& a) {
    const std::uint64_t k = arg_u64(a[1], "k");
    SingleQuery query(a[0]);
    TreeRef<typename C::Tree> tree(self);
    return list_of_indices(tree->query_knn(query.get(), k));
}

template <class C>
PyObject* query_radius_body(PyObject* self, const BoundArgs& a) {
    const double radius = arg_f64(a[1], "radius");
    SingleQuery query(a[0]);
    TreeRef<typename C::Tree> tree(self);
    return list_of_indices(tree->query_radius(query.get(), radius));
}

template <class C>
PyObject* kernel_density_body(PyObject* self, const BoundArgs& a) {
    const double bandwidth = a.present(1) ? arg_f64(a[1], "bandwidth") : kDefaultBandwidth;
    const OptionName kernel_name = option_name(a[2], "kernel", kDefaultKernel);
    const KernelType kernel = parse(parse_kernel, kernel_name);
    TreeRef<typename C::Tree> tree(self);
    const ArrayF64 queries = multi_query(a[0], tree->storage);
    return density_result(tree->kernel_density(queries, kernel, bandwidth));
}

// The approximate density's options (parameters 1 to 5: bandwidth, kernel, criterion,
// min_samples, max_span), all converted before either name is parsed.
struct DensityOptions {
    double bandwidth;
    KernelType kernel;
    ApproxCriterion criterion;
};

DensityOptions density_options(const BoundArgs& a) {
    const double bandwidth = a.present(1) ? arg_f64(a[1], "bandwidth") : kDefaultBandwidth;
    const OptionName kernel_name = option_name(a[2], "kernel", kDefaultKernel);
    const OptionName criterion_name = option_name(a[3], "criterion", kDefaultCriterion);
    const std::optional<std::uint64_t> min_samples = arg_opt_u64(a[4], "min_samples");
    const std::optional<double> max_span = arg_opt_f64(a[5], "max_span");
    return DensityOptions{bandwidth, parse(parse_kernel, kernel_name),
                          unwrap(parse_criterion(criterion_name.lowered, criterion_name.given, min_samples, max_span))};
}

template <class C>
PyObject* kernel_density_approx_body(PyObject* self, const BoundArgs& a) {
    const DensityOptions o = density_options(a);
    TreeRef<typename C::Tree> tree(self);
    const ArrayF64 queries = multi_query(a[0], tree->storage);
    return density_result(tree->kernel_density_approx(queries, o.kernel, o.criterion, o.bandwidth));
}

// ---- batch methods: arguments converted and held first, the walks run without the lock ---------

constexpr std::uint64_t kDefaultWorkers = 1;

template <class C>
PyObject* query_knn_batch_body(PyObject* self, const BoundArgs& a) {
    const std::uint64_t k = arg_u64(a[1], "k");
    const std::size_t workers = arg_workers(a[2]);
    TreeRef<typename C::Tree> tree(self);
    const BatchQueries queries(a[0], tree->storage.dim);
    KnnBatch found = without_lock([&](const StopPoll& poll) {
        return query_knn_batch(*tree, queries.rows(), k, BatchRun{workers, poll});
    });
    Ref indices(wrap_array(std::move(found.indices)));
    Ref distances(wrap_array(std::move(found.distances)));
    return tuple2(indices.release(), distances.release());
}

template <class C>
PyObject* query_radius_batch_body(PyObject* self, const BoundArgs& a) {
    const double radius = arg_f64(a[1], "radius");
    const std::size_t workers = arg_workers(a[2]);
    const int count_only = a[3] ? PyObject_IsTrue(a[3]) : 0;
    if (count_only < 0) raise_current();
    TreeRef<typename C::Tree> tree(self);
    const BatchQueries queries(a[0], tree->storage.dim);
    if (count_only) {
        return wrap_array(without_lock([&](const StopPoll& poll) {
            return query_radius_counts(*tree, queries.rows(), radius, BatchRun{workers, poll});
        }));
    }
    const RadiusLists found = without_lock([&](const StopPoll& poll) {
        return query_radius_batch(*tree, queries.rows(), radius, BatchRun{workers, poll});
    });
    return radius_lists(found, tree->storage.n_points);
}

template <class C>
PyObject* kernel_density_batch_body(PyObject* self, const BoundArgs& a) {
    const DensityOptions o = density_options(a);
    const std::size_t workers = arg_workers(a[6]);
    TreeRef<typename C::Tree> tree(self);
    std::optional<BatchQueries> queries;
    if (a.present(0)) queries.emplace(a[0], tree->storage.dim);
    return wrap_array(without_lock([&](const StopPoll& poll) {
        const QueryRows rows = queries ? queries->rows() : QueryRows{};
        return spatial::kernel_density_batch(*tree, queries ? &rows : nullptr, o.kernel, o.criterion, o.bandwidth,
                                             BatchRun{workers, poll});
    }));
}

template <class C>
Entry from_array_entry{
    "from_array",
    Kind::static_method,
    C::name,
    {required("array"), defaulted("leaf_size", kDefaultLeafSize), defaulted("metric", kDefaultMetric)},
    from_array_body<C>};
template <>
Entry from_array_entry<VPClass>{"from_array",
                                Kind::static_method,
                                VPClass::name,
                                {required("array"), defaulted("leaf_size", kDefaultLeafSize),
                                 defaulted("metric", kDefaultMetric), defaulted("selection", kDefaultSelection)},
                                from_array_body<VPClass>};
template <class C>
Entry query_knn_entry{"query_knn", Kind::method, C::name, {required("query"), required("k")}, query_knn_body<C>};
template <class C>
Entry query_radius_entry{
    "query_radius", Kind::method, C::name, {required("query"), required("radius")}, query_radius_body<C>};
template <class C>
Entry kernel_density_entry{
    "kernel_density",
    Kind::method,
    C::name,
    {optional("queries"), defaulted("bandwidth", kDefaultBandwidth), defaulted("kernel", kDefaultKernel)},
    kernel_density_body<C>};
template <class C>
Entry kernel_density_approx_entry{
    "kernel_density_approx",
    Kind::method,
    C::name,
    {optional("queries"), defaulted("bandwidth", kDefaultBandwidth), defaulted("kernel", kDefaultKernel),
     defaulted("criterion", kDefaultCriterion), optional("min_samples"), optional("max_span")},
    kernel_density_approx_body<C>};

template <class C>
Entry query_knn_batch_entry{"query_knn_batch",
                            Kind::method,
                            C::name,
                            {required("queries"), required("k"), defaulted("workers", kDefaultWorkers)},
                            query_knn_batch_body<C>};
template <class C>
Entry query_radius_batch_entry{
    "query_radius_batch",
    Kind::method,
    C::name,
    {required("queries"), required("radius"), defaulted("workers", kDefaultWorkers), defaulted("count_only", false)},
    query_radius_batch_body<C>};
template <class C>
Entry kernel_density_batch_entry{"kernel_density_batch",
                                 Kind::method,
                                 C::name,
                                 {optional("queries"), defaulted("bandwidth", kDefaultBandwidth),
                                  defaulted("kernel", kDefaultKernel), defaulted("criterion", kDefaultCriterion),
                                  optional("min_samples"), optional("max_span"), defaulted("workers", kDefaultWorkers)},
                                 kernel_density_batch_body<C>};

template <class C>
constexpr Member tree_rows[] = {
    member<from_array_entry<C>>,
    member<query_knn_entry<C>>,
    member<query_radius_entry<C>>,
    member<kernel_density_entry<C>>,
    member<kernel_density_approx_entry<C>>,
    member<query_knn_batch_entry<C>>,
    member<query_radius_batch_entry<C>>,
    member<kernel_density_batch_entry<C>>,
};

// Instances come only from from_array.
template <class C>
PyTypeObject* make_tree_type(const char* name, std::span<const Member> pickling) {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value<typename C::Tree>)},
        {Py_tp_methods, method_table({tree_rows<C>, pickling})},
        {Py_tp_doc, const_cast<char*>(C::doc)},
        {0, nullptr},
    };
    static PyType_Spec spec = {name, sizeof(PyBox<typename C::Tree>), 0, Py_TPFLAGS_DEFAULT, slots};
    return make_type_without_constructor(&spec);
}

}  // namespace

PyTypeObject* ball_tree_type() {
    static PyTypeObject* type = make_tree_type<BallClass>("kestrum.BallTree", ball_tree_pickling_methods);
    return type;
}
PyTypeObject* kd_tree_type() {
    static PyTypeObject* type = make_tree_type<KDClass>("kestrum.KDTree", kd_tree_pickling_methods);
    return type;
}
PyTypeObject* vp_tree_type() {
    static PyTypeObject* type = make_tree_type<VPClass>("kestrum.VPTree", vp_tree_pickling_methods);
    return type;
}

}  // namespace kestrum::py
