// spatial submodule: the KDTree, BallTree and VPTree classes. Each instance owns one immutable
// core tree; instances are made only by the static `from_array`.
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "python/areas.hpp"
#include "python/args.hpp"
#include "python/release.hpp"
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

// Runs `convert`; on a Python error clears it and reports failure instead.
template <class F>
bool attempt(F&& convert) {
    try {
        convert();
        return true;
    } catch (const PyErrSet&) {
        PyErr_Clear();
        return false;
    }
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
        double x = 0.0;
        if (!plain_sequence && !array && attempt([&] { x = to_f64(o); })) {
            set_one(x);
            return;
        }
        if (!array && !PyUnicode_Check(o) && attempt([&] { owned_ = to_f64_list(o); })) {
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
    double x = 0.0;
    if (!is_array(o) && attempt([&] { x = to_f64(o); })) return ArrayF64::create(Shape{1, 1}, Buffer<double>{x});
    if (is_array(o)) {
        ArrayRef a(o);
        const auto& dims = a->shape.dims;
        if (dims.size() != 1 && dims.size() != 2) raise(PyExc_ValueError, "queries must be 1D or 2D array");
        const std::uint64_t width = dims.back();
        if (width != dim)
            raise(PyExc_ValueError, "Query dimension " + std::to_string(width) + " doesn't match tree dimension " +
                                        std::to_string(dim));
        const std::uint64_t rows = dims.size() == 1 ? 1 : dims[0];
        return ArrayF64::create(Shape{rows, dim}, a->data);
    }
    std::vector<double> values;
    if (!PyUnicode_Check(o) && attempt([&] { values = to_f64_list(o); })) {
        if (values.size() != dim)
            raise(PyExc_ValueError, "Query vector length " + std::to_string(values.size()) +
                                        " doesn't match tree dimension " + std::to_string(dim));
        return ArrayF64::create(Shape{1, dim}, Buffer<double>(values));
    }
    raise(PyExc_ValueError, "queries must be a scalar, list, or Array");
}

// The queries of a batch method, read in place where possible: a 2-D Array (or a 1-D one, one
// query) under a shared borrow, a C-contiguous float64 buffer of one or two dimensions held for
// the call, or a list of equal-length lists (a flat list of numbers is one query), copied. Width
// must be the tree's dimension. Destroy with the interpreter lock held.
class BatchQueries {
public:
    BatchQueries(PyObject* o, std::uint64_t dim) : dim_(dim) {
        if (is_array(o)) {
            array_.emplace(o);
            const auto& dims = (*array_)->shape.dims;
            shape(dims.size(), dims.size() == 2 ? dims[0] : 1, dims.empty() ? 0 : dims.back());
            data_ = (*array_)->data.data();
        } else if (PyObject_CheckBuffer(o)) {
            read_buffer(o);
        } else if (PyList_Check(o) || PyTuple_Check(o)) {
            read_rows(o);
        } else {
            raise(PyExc_ValueError, "queries must be an Array, a C-contiguous float64 array, or a list of lists");
        }
    }
    ~BatchQueries() {
        if (view_.obj) PyBuffer_Release(&view_);
    }
    BatchQueries(const BatchQueries&) = delete;
    BatchQueries& operator=(const BatchQueries&) = delete;

    QueryRows rows() const { return QueryRows{data_, count_}; }

private:
    // ndim dimensions, `rows` queries of `width` coordinates.
    void shape(std::size_t ndim, std::uint64_t rows, std::uint64_t width) {
        if (ndim != 1 && ndim != 2) raise(PyExc_ValueError, "queries must be 1D or 2D array");
        check_width(width);
        count_ = rows;
    }
    void check_width(std::uint64_t width) const {
        if (width != dim_)
            raise(PyExc_ValueError, "Query dimension " + std::to_string(width) + " doesn't match tree dimension " +
                                        std::to_string(dim_));
    }

    void read_buffer(PyObject* o) {
        if (PyObject_GetBuffer(o, &view_, PyBUF_RECORDS_RO) != 0) raise_current();
        const char* f = view_.format ? view_.format : "B";
        if (*f == '@' || *f == '=' || *f == '<') ++f;
        const bool f64 = f[0] == 'd' && f[1] == '\0' && view_.itemsize == 8;
        if (view_.ndim != 1 && view_.ndim != 2) raise(PyExc_ValueError, "queries must be 1D or 2D array");
        if (!f64 || !PyBuffer_IsContiguous(&view_, 'C'))
            raise(PyExc_ValueError,
                  "queries must be a C-contiguous float64 array (numpy.ascontiguousarray(queries, dtype=float) "
                  "makes one)");
        const auto n = static_cast<std::uint64_t>(view_.shape[0]);
        shape(static_cast<std::size_t>(view_.ndim), view_.ndim == 2 ? n : 1,
              static_cast<std::uint64_t>(view_.shape[view_.ndim - 1]));
        data_ = static_cast<const double*>(view_.buf);
        if (reinterpret_cast<std::uintptr_t>(data_) % alignof(double) != 0) {
            // Rare (a view at an odd offset): read from an aligned copy.
            owned_.resize(count_ * dim_);
            if (!owned_.empty()) std::memcpy(owned_.data(), view_.buf, owned_.size() * sizeof(double));
            data_ = owned_.data();
        }
    }

    // Rows of a list: each a sequence of numbers (exact floats read directly); a flat sequence of
    // numbers is one query.
    void read_rows(PyObject* o) {
        // A tuple snapshot: a conversion hook of some item cannot change the rows being read.
        Ref seq(check(PySequence_Tuple(o)));
        const std::size_t n = static_cast<std::size_t>(PyTuple_GET_SIZE(seq.get()));
        PyObject** items = PySequence_Fast_ITEMS(seq.get());
        if (n > 0 && !PyList_Check(items[0]) && !PyTuple_Check(items[0]) && !is_array(items[0]) &&
            !PyUnicode_Check(items[0])) {
            std::vector<double> row;
            if (!attempt([&] { row = to_f64_list(seq.get()); }))
                raise(PyExc_ValueError, "queries must be an Array, a C-contiguous float64 array, or a list of lists");
            check_width(row.size());
            owned_ = std::move(row);
            count_ = 1;
            data_ = owned_.data();
            return;
        }
        owned_.resize(n * dim_);
        for (std::size_t i = 0; i < n; ++i) read_row(items[i], owned_.data() + i * dim_);
        count_ = n;
        data_ = owned_.data();
    }

    void read_row(PyObject* row, double* out) {
        if (PyList_CheckExact(row) || PyTuple_CheckExact(row)) {
            const std::size_t len = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(row));
            PyObject** xs = PySequence_Fast_ITEMS(row);
            check_width(len);
            std::size_t j = 0;
            while (j < len && PyFloat_CheckExact(xs[j])) {
                out[j] = PyFloat_AS_DOUBLE(xs[j]);
                ++j;
            }
            if (j == len) return;
        }
        std::vector<double> values;
        if (PyUnicode_Check(row) || is_array(row) || !attempt([&] { values = to_f64_list(row); }))
            raise(PyExc_ValueError, "each query must be a list of numbers");
        check_width(values.size());
        std::copy(values.begin(), values.end(), out);
    }

    std::uint64_t dim_;
    std::optional<ArrayRef> array_;
    Py_buffer view_{};
    std::vector<double> owned_;
    const double* data_ = nullptr;
    std::size_t count_ = 0;
};

// One entry: a float; otherwise an Array of shape (n_queries,).
PyObject* density_result(ArrayF64&& sums) {
    if (sums.size() == 1) return float_result(sums.data[0]);
    return wrap_array(std::move(sums));
}

// ---- classes ----------------------------------------------------------------------------------

template <class Tree>
struct PyTree {
    PyObject_HEAD
    BorrowFlag borrow;
    Tree tree;
};

// Reads the tree of an instance under a shared borrow for as long as this object lives.
template <class Tree>
class TreeRef {
public:
    explicit TreeRef(PyObject* self)
        : guard_(reinterpret_cast<PyTree<Tree>*>(self)->borrow), tree_(&reinterpret_cast<PyTree<Tree>*>(self)->tree) {}
    const Tree& operator*() const { return *tree_; }
    const Tree* operator->() const { return tree_; }

private:
    SharedBorrow guard_;
    const Tree* tree_;
};

struct KDClass {
    using Tree = KDTree;
    static PyTypeObject* type() { return kd_tree_type(); }
    static constexpr const char* from_array = "KDTree.from_array";
    static constexpr const char* query_knn = "KDTree.query_knn";
    static constexpr const char* query_radius = "KDTree.query_radius";
    static constexpr const char* kernel_density = "KDTree.kernel_density";
    static constexpr const char* kernel_density_approx = "KDTree.kernel_density_approx";
    static constexpr const char* query_knn_batch = "KDTree.query_knn_batch";
    static constexpr const char* query_radius_batch = "KDTree.query_radius_batch";
    static constexpr const char* kernel_density_batch = "KDTree.kernel_density_batch";
};
struct BallClass {
    using Tree = BallTree;
    static PyTypeObject* type() { return ball_tree_type(); }
    static constexpr const char* from_array = "BallTree.from_array";
    static constexpr const char* query_knn = "BallTree.query_knn";
    static constexpr const char* query_radius = "BallTree.query_radius";
    static constexpr const char* kernel_density = "BallTree.kernel_density";
    static constexpr const char* kernel_density_approx = "BallTree.kernel_density_approx";
    static constexpr const char* query_knn_batch = "BallTree.query_knn_batch";
    static constexpr const char* query_radius_batch = "BallTree.query_radius_batch";
    static constexpr const char* kernel_density_batch = "BallTree.kernel_density_batch";
};
struct VPClass {
    using Tree = VPTree;
    static PyTypeObject* type() { return vp_tree_type(); }
    static constexpr const char* from_array = "VPTree.from_array";
    static constexpr const char* query_knn = "VPTree.query_knn";
    static constexpr const char* query_radius = "VPTree.query_radius";
    static constexpr const char* kernel_density = "VPTree.kernel_density";
    static constexpr const char* kernel_density_approx = "VPTree.kernel_density_approx";
    static constexpr const char* query_knn_batch = "VPTree.query_knn_batch";
    static constexpr const char* query_radius_batch = "VPTree.query_radius_batch";
    static constexpr const char* kernel_density_batch = "VPTree.kernel_density_batch";
};

template <class C>
PyObject* wrap_tree(typename C::Tree&& tree) {
    PyTypeObject* type = C::type();
    PyObject* obj = check(type->tp_alloc(type, 0));
    auto* t = reinterpret_cast<PyTree<typename C::Tree>*>(obj);
    t->borrow = BorrowFlag{};
    new (&t->tree) typename C::Tree(std::move(tree));
    return obj;
}

template <class C>
void tree_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    using Tree = typename C::Tree;
    reinterpret_cast<PyTree<Tree>*>(self)->tree.~Tree();
    type->tp_free(self);
    Py_DECREF(type);
}

constexpr std::uint64_t kDefaultLeafSize = 20;

template <class C>
PyObject* from_array(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        constexpr bool vp = std::is_same_v<C, VPClass>;
        static const Signature vp_sig{C::from_array, {"array", "leaf_size", "metric", "selection"}, 1};
        static const Signature sig{C::from_array, {"array", "leaf_size", "metric"}, 1};
        BoundArgs a = bind(vp ? vp_sig : sig, args, nargs, kwnames);
        ArrayRef array = arg_array(a[0], "array");
        const std::uint64_t leaf_size = a.present(1) ? arg_u64(a[1], "leaf_size") : kDefaultLeafSize;
        const OptionName metric_name = option_name(a[2], "metric", "euclidean");
        if constexpr (vp) {
            const OptionName selection_name = option_name(a[3], "selection", "first");
            const DistanceMetric metric = parse(parse_metric, metric_name);
            const bool random = parse(parse_selection, selection_name);
            return wrap_tree<C>(unwrap(VPTree::from_ndarray(*array, leaf_size, metric, random)));
        } else {
            const DistanceMetric metric = parse(parse_metric, metric_name);
            return wrap_tree<C>(unwrap(C::Tree::from_ndarray(*array, leaf_size, metric)));
        }
    });
}

template <class C>
PyObject* query_knn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static const Signature sig{C::query_knn, {"query", "k"}, 2};
        BoundArgs a = bind(sig, args, nargs, kwnames);
        const std::uint64_t k = arg_u64(a[1], "k");
        SingleQuery query(a[0]);
        TreeRef<typename C::Tree> tree(self);
        return list_of_indices(tree->query_knn(query.get(), k));
    });
}

template <class C>
PyObject* query_radius(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static const Signature sig{C::query_radius, {"query", "radius"}, 2};
        BoundArgs a = bind(sig, args, nargs, kwnames);
        const double radius = arg_f64(a[1], "radius");
        SingleQuery query(a[0]);
        TreeRef<typename C::Tree> tree(self);
        return list_of_indices(tree->query_radius(query.get(), radius));
    });
}

template <class C>
PyObject* kernel_density(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static const Signature sig{C::kernel_density, {"queries", "bandwidth", "kernel"}, 0};
        BoundArgs a = bind(sig, args, nargs, kwnames);
        const double bandwidth = a.present(1) ? arg_f64(a[1], "bandwidth") : 1.0;
        const OptionName kernel_name = option_name(a[2], "kernel", "gaussian");
        const KernelType kernel = parse(parse_kernel, kernel_name);
        TreeRef<typename C::Tree> tree(self);
        const ArrayF64 queries = multi_query(a[0], tree->storage);
        return density_result(tree->kernel_density(queries, kernel, bandwidth));
    });
}

template <class C>
PyObject* kernel_density_approx(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static const Signature sig{
            C::kernel_density_approx, {"queries", "bandwidth", "kernel", "criterion", "min_samples", "max_span"}, 0};
        BoundArgs a = bind(sig, args, nargs, kwnames);
        const double bandwidth = a.present(1) ? arg_f64(a[1], "bandwidth") : 1.0;
        const OptionName kernel_name = option_name(a[2], "kernel", "gaussian");
        const OptionName criterion_name = option_name(a[3], "criterion", "none");
        const std::optional<std::uint64_t> min_samples = arg_opt_u64(a[4], "min_samples");
        const std::optional<double> max_span = arg_opt_f64(a[5], "max_span");
        const KernelType kernel = parse(parse_kernel, kernel_name);
        const ApproxCriterion criterion =
            unwrap(parse_criterion(criterion_name.lowered, criterion_name.given, min_samples, max_span));
        TreeRef<typename C::Tree> tree(self);
        const ArrayF64 queries = multi_query(a[0], tree->storage);
        return density_result(tree->kernel_density_approx(queries, kernel, criterion, bandwidth));
    });
}

// ---- batch methods ------------------------------------------------------------------------------

// `workers`: a positive int, or -1 for every CPU this process may use; None means 1.
std::size_t arg_workers(PyObject* o) {
    if (!o || o == Py_None) return 1;
    const std::size_t workers = resolve_workers(arg_i64(o, "workers"));
    if (workers == 0) raise(PyExc_ValueError, "workers must be a positive integer or -1");
    return workers;
}

// Python ints for point indices. When the lists hold many entries per point, each index's int is
// made once and shared (ints are immutable), which saves most of the allocations.
class IndexInts {
public:
    IndexInts(std::uint64_t n_points, std::size_t total) {
        if (n_points > 0 && total >= n_points / 4) table_.assign(n_points, nullptr);
    }
    ~IndexInts() {
        for (PyObject* o : table_) Py_XDECREF(o);
    }
    IndexInts(const IndexInts&) = delete;
    IndexInts& operator=(const IndexInts&) = delete;

    PyObject* get(std::uint64_t index) {  // new reference
        if (index >= table_.size()) return check(PyLong_FromUnsignedLongLong(index));
        PyObject*& slot = table_[index];
        if (!slot) slot = check(PyLong_FromUnsignedLongLong(index));
        Py_INCREF(slot);
        return slot;
    }

private:
    std::vector<PyObject*> table_;
};

// Pauses the cyclic garbage collector while many new lists are made: they cannot form cycles,
// and each collection the allocations would trigger walks every young container again.
class CollectorPause {
public:
    CollectorPause() {
#if PY_VERSION_HEX >= 0x030A0000
        was_enabled_ = PyGC_Disable() == 1;
#else
        Ref gc(PyImport_ImportModule("gc"));
        Ref enabled(gc.get() ? PyObject_CallMethod(gc.get(), "isenabled", nullptr) : nullptr);
        Ref off(enabled.get() == Py_True ? PyObject_CallMethod(gc.get(), "disable", nullptr) : nullptr);
        was_enabled_ = off.get() != nullptr;
        PyErr_Clear();
#endif
    }
    ~CollectorPause() {
        if (!was_enabled_) return;
#if PY_VERSION_HEX >= 0x030A0000
        PyGC_Enable();
#else
        PyObject *type, *value, *trace;
        PyErr_Fetch(&type, &value, &trace);
        Ref gc(PyImport_ImportModule("gc"));
        Ref on(gc.get() ? PyObject_CallMethod(gc.get(), "enable", nullptr) : nullptr);
        PyErr_Restore(type, value, trace);
#endif
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    bool was_enabled_ = false;
};

PyObject* radius_lists(const RadiusLists& found, std::uint64_t n_points) {
    const std::size_t n = found.size();
    const CollectorPause pause;
    Ref out(check(PyList_New(static_cast<Py_ssize_t>(n))));
    IndexInts ints(n_points, found.total());
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t* items = found.list(i);
        const std::size_t len = found.length[i];
        Ref list(check(PyList_New(static_cast<Py_ssize_t>(len))));
        for (std::size_t j = 0; j < len; ++j) PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(j), ints.get(items[j]));
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), list.release());
    }
    return out.release();
}

template <class C>
PyObject* query_knn_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static const Signature sig{C::query_knn_batch, {"queries", "k", "workers"}, 2};
        BoundArgs a = bind(sig, args, nargs, kwnames);
        const std::uint64_t k = arg_u64(a[1], "k");
        const std::size_t workers = arg_workers(a[2]);
        TreeRef<typename C::Tree> tree(self);
        const BatchQueries queries(a[0], tree->storage.dim);
        KnnBatch found = without_lock([&](const StopPoll& poll) {
            return spatial::query_knn_batch(*tree, queries.rows(), k, BatchRun{workers, poll});
        });
        Ref indices(wrap_array(std::move(found.indices)));
        Ref distances(wrap_array(std::move(found.distances)));
        return tuple2(indices.release(), distances.release());
    });
}

template <class C>
PyObject* query_radius_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static const Signature sig{C::query_radius_batch, {"queries", "radius", "workers", "count_only"}, 2};
        BoundArgs a = bind(sig, args, nargs, kwnames);
        const double radius = arg_f64(a[1], "radius");
        const std::size_t workers = arg_workers(a[2]);
        int count_only = 0;
        if (a[3] && (count_only = PyObject_IsTrue(a[3])) < 0) raise_current();
        TreeRef<typename C::Tree> tree(self);
        const BatchQueries queries(a[0], tree->storage.dim);
        if (count_only) {
            return wrap_array(without_lock([&](const StopPoll& poll) {
                return spatial::query_radius_counts(*tree, queries.rows(), radius, BatchRun{workers, poll});
            }));
        }
        const RadiusLists found = without_lock([&](const StopPoll& poll) {
            return spatial::query_radius_batch(*tree, queries.rows(), radius, BatchRun{workers, poll});
        });
        return radius_lists(found, tree->storage.n_points);
    });
}

template <class C>
PyObject* kernel_density_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static const Signature sig{
            C::kernel_density_batch,
            {"queries", "bandwidth", "kernel", "criterion", "min_samples", "max_span", "workers"},
            0};
        BoundArgs a = bind(sig, args, nargs, kwnames);
        const double bandwidth = a.present(1) ? arg_f64(a[1], "bandwidth") : 1.0;
        const OptionName kernel_name = option_name(a[2], "kernel", "gaussian");
        const OptionName criterion_name = option_name(a[3], "criterion", "none");
        const std::optional<std::uint64_t> min_samples = arg_opt_u64(a[4], "min_samples");
        const std::optional<double> max_span = arg_opt_f64(a[5], "max_span");
        const std::size_t workers = arg_workers(a[6]);
        const KernelType kernel = parse(parse_kernel, kernel_name);
        const ApproxCriterion criterion =
            unwrap(parse_criterion(criterion_name.lowered, criterion_name.given, min_samples, max_span));
        TreeRef<typename C::Tree> tree(self);
        std::optional<BatchQueries> queries;
        if (a.present(0)) queries.emplace(a[0], tree->storage.dim);
        return wrap_array(without_lock([&](const StopPoll& poll) {
            const QueryRows rows = queries ? queries->rows() : QueryRows{};
            return spatial::kernel_density_batch(*tree, queries ? &rows : nullptr, kernel, criterion, bandwidth,
                                                 BatchRun{workers, poll});
        }));
    });
}

#define KESTRUM_TREE_METHODS(C, FROM_ARRAY_DOC)                                                                   \
    {                                                                                                             \
        {"from_array", KESTRUM_FASTCALL(from_array<C>), KESTRUM_ENTRY_FLAGS | METH_STATIC, FROM_ARRAY_DOC},       \
            {"query_knn", KESTRUM_FASTCALL(query_knn<C>), KESTRUM_ENTRY_FLAGS, "query_knn($self, query, k)\n--\n\n"}, \
            {"query_radius", KESTRUM_FASTCALL(query_radius<C>), KESTRUM_ENTRY_FLAGS,                              \
             "query_radius($self, query, radius)\n--\n\n"},                                                       \
            {"kernel_density", KESTRUM_FASTCALL(kernel_density<C>), KESTRUM_ENTRY_FLAGS,                          \
             "kernel_density($self, queries=None, bandwidth=1.0, kernel=\"gaussian\")\n--\n\n"},                  \
            {"kernel_density_approx", KESTRUM_FASTCALL(kernel_density_approx<C>), KESTRUM_ENTRY_FLAGS,            \
             "kernel_density_approx($self, queries=None, bandwidth=1.0, kernel=\"gaussian\", criterion=\"none\", " \
             "min_samples=None, max_span=None)\n--\n\n"},                                                         \
            {"query_knn_batch", KESTRUM_FASTCALL(query_knn_batch<C>), KESTRUM_ENTRY_FLAGS,                        \
             "query_knn_batch($self, queries, k, workers=1)\n--\n\n"},                                             \
            {"query_radius_batch", KESTRUM_FASTCALL(query_radius_batch<C>), KESTRUM_ENTRY_FLAGS,                  \
             "query_radius_batch($self, queries, radius, workers=1, count_only=False)\n--\n\n"},                   \
            {"kernel_density_batch", KESTRUM_FASTCALL(kernel_density_batch<C>), KESTRUM_ENTRY_FLAGS,              \
             "kernel_density_batch($self, queries=None, bandwidth=1.0, kernel=\"gaussian\", criterion=\"none\", " \
             "min_samples=None, max_span=None, workers=1)\n--\n\n"},                                             \
            {nullptr, nullptr, 0, nullptr},                                                                       \
    }

#define KESTRUM_FROM_ARRAY_DOC "from_array(array, leaf_size=20, metric=\"euclidean\")\n--\n\n"
#define KESTRUM_VP_FROM_ARRAY_DOC "from_array(array, leaf_size=20, metric=\"euclidean\", selection=\"first\")\n--\n\n"

PyMethodDef kd_methods[] = KESTRUM_TREE_METHODS(KDClass, KESTRUM_FROM_ARRAY_DOC);
PyMethodDef ball_methods[] = KESTRUM_TREE_METHODS(BallClass, KESTRUM_FROM_ARRAY_DOC);
PyMethodDef vp_methods[] = KESTRUM_TREE_METHODS(VPClass, KESTRUM_VP_FROM_ARRAY_DOC);

#ifdef Py_TPFLAGS_DISALLOW_INSTANTIATION
constexpr unsigned long kNoConstructor = Py_TPFLAGS_DISALLOW_INSTANTIATION;
#else
constexpr unsigned long kNoConstructor = 0;
#endif

// Instances come only from from_array; interpreters without the flag above get this instead.
PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
    return nullptr;
}

template <class C>
PyTypeObject* make_tree_type(const char* name, PyMethodDef* methods) {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(tree_dealloc<C>)},
        {Py_tp_methods, methods},
        {kNoConstructor ? 0 : Py_tp_new, kNoConstructor ? nullptr : reinterpret_cast<void*>(refuse_new)},
        {0, nullptr},
    };
    static PyType_Spec spec = {name, sizeof(PyTree<typename C::Tree>), 0, Py_TPFLAGS_DEFAULT | kNoConstructor, slots};
    return make_type(&spec);
}

}  // namespace

PyTypeObject* ball_tree_type() {
    static PyTypeObject* type = make_tree_type<BallClass>("kestrum.BallTree", ball_methods);
    return type;
}
PyTypeObject* kd_tree_type() {
    static PyTypeObject* type = make_tree_type<KDClass>("kestrum.KDTree", kd_methods);
    return type;
}
PyTypeObject* vp_tree_type() {
    static PyTypeObject* type = make_tree_type<VPClass>("kestrum.VPTree", vp_methods);
    return type;
}

}  // namespace kestrum::py
