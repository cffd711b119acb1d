// Pickling and copying of Array, Generator and the three trees, and the private module functions
// that rebuild them when a pickle is loaded.
//
// Each class reduces to (restore function, arguments): an Array to its storage and shape (at
// protocol 5 a PickleBuffer of the storage itself, so it can travel out of band without a copy),
// a Generator to its four state words, a tree to its versioned state bytes. The restore
// functions validate everything they are given. copy.copy and copy.deepcopy make an independent
// object directly.
#include <cstring>
#include <span>
#include <variant>

#include "array/format.hpp"
#include "python/areas.hpp"
#include "python/args.hpp"
#include "python/array_parts.hpp"
#include "python/held_buffer.hpp"
#include "random/generator.hpp"
#include "spatial/tree_state.hpp"

namespace kestrum::py {

namespace {

using spatial::BallTree;
using spatial::KDTree;
using spatial::VPTree;

// The restore functions, kept from module initialisation for the reductions to name.
PyObject* restore_array_fn = nullptr;
PyObject* restore_generator_fn = nullptr;
PyObject* restore_tree_fn = nullptr;

// The C-ordered bytes of a buffer argument.
HeldBuffer contiguous_bytes(PyObject* o, const char* name) {
    return with_argument(name, [&] { return HeldBuffer(o, PyBUF_C_CONTIGUOUS); });
}

// (restore, args); every item of `args` is borrowed.
PyObject* reduction(PyObject* restore, std::initializer_list<PyObject*> args) {
    if (!restore) raise(PyExc_RuntimeError, "kestrum is not initialised");
    Ref tuple(check(PyTuple_New(static_cast<Py_ssize_t>(args.size()))));
    Py_ssize_t i = 0;
    for (PyObject* a : args) {
        Py_INCREF(a);
        PyTuple_SET_ITEM(tuple.get(), i++, a);
    }
    Py_INCREF(restore);
    return tuple2(restore, tuple.release());
}

// At protocol 5 and above, `obj`'s buffer as a pickle.PickleBuffer: written in band without a
// copy, or handed to the pickler's buffer_callback to travel out of band.
Ref maybe_pickle_buffer(Ref obj, std::int64_t protocol) {
    if (protocol < 5) return obj;
    return Ref(check(PyPickleBuffer_FromObject(obj.get())));
}

// ---- Array ----------------------------------------------------------------------------------------

PyObject* shape_tuple(const Shape& shape) {
    Ref t(check(PyTuple_New(static_cast<Py_ssize_t>(shape.ndim()))));
    for (std::size_t i = 0; i < shape.ndim(); ++i)
        PyTuple_SET_ITEM(t.get(), static_cast<Py_ssize_t>(i), check(PyLong_FromUnsignedLongLong(shape.dims[i])));
    return t.release();
}

PyObject* array_reduce_ex_body(PyObject* self, const BoundArgs& a) {
    const std::int64_t protocol = arg_i64(a[0], "protocol");
    Ref shape, data;
    {
        ArrayRef array(self);
        shape = Ref(shape_tuple(array->shape));
        if (protocol < 5)
            data = Ref(check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(array->data.data()),
                                                       static_cast<Py_ssize_t>(array->size() * sizeof(double)))));
    }
    if (protocol >= 5) {
        Py_INCREF(self);
        data = maybe_pickle_buffer(Ref(self), protocol);
    }
    return reduction(restore_array_fn, {data.get(), shape.get()});
}

PyObject* array_copy_body(PyObject* self, const BoundArgs&) {
    ArrayF64 copy = ArrayRef(self)->clone();
    return wrap_array(std::move(copy));
}

PyObject* restore_array_body(PyObject*, const BoundArgs& a) {
    const HeldBuffer data = contiguous_bytes(a[0], "data");
    Shape shape(arg_u64_list(a[1], "shape"));
    const std::uint64_t size = shape.size();
    const std::size_t bytes = data.bytes().size();
    if (bytes % sizeof(double) != 0 || bytes / sizeof(double) != size)
        raise(PyExc_ValueError, "invalid array state: " + std::to_string(bytes) + " bytes do not hold shape " +
                                    format_dims(shape.dims) + " (expected " + std::to_string(size) +
                                    " float64 values)");
    Buffer<double> values = Buffer<double>::uninit(size);
    if (size) std::memcpy(values.data(), data.bytes().data(), bytes);
    return wrap_array(ArrayF64::create(std::move(shape), std::move(values)));
}

// ---- Generator ------------------------------------------------------------------------------------

PyObject* wrap_generator(const Generator& g) { return wrap_value(generator_type(), Generator(g)); }

PyObject* generator_reduce_body(PyObject* self, const BoundArgs&) {
    const Generator g = *ValueRef<Generator>(self);
    const std::uint64_t state[4] = {g.s0, g.s1, g.s2, g.s3};
    Ref words[4];
    for (int i = 0; i < 4; ++i) words[i] = Ref(check(PyLong_FromUnsignedLongLong(state[i])));
    return reduction(restore_generator_fn, {words[0].get(), words[1].get(), words[2].get(), words[3].get()});
}

PyObject* generator_copy_body(PyObject* self, const BoundArgs&) { return wrap_generator(*ValueRef<Generator>(self)); }

PyObject* restore_generator_body(PyObject*, const BoundArgs& a) {
    const std::uint64_t s0 = arg_u64(a[0], "s0"), s1 = arg_u64(a[1], "s1");
    const std::uint64_t s2 = arg_u64(a[2], "s2"), s3 = arg_u64(a[3], "s3");
    return wrap_generator(unwrap(Generator::from_state(s0, s1, s2, s3)));
}

// ---- trees ----------------------------------------------------------------------------------------

PyTypeObject* type_of(const KDTree&) { return kd_tree_type(); }
PyTypeObject* type_of(const BallTree&) { return ball_tree_type(); }
PyTypeObject* type_of(const VPTree&) { return vp_tree_type(); }

template <class Tree>
PyObject* tree_reduce_ex_body(PyObject* self, const BoundArgs& a) {
    const std::int64_t protocol = arg_i64(a[0], "protocol");
    Ref state;
    {
        ValueRef<Tree> tree(self);
        const std::size_t size = spatial::write_tree_state(*tree, nullptr);
        state = Ref(check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size))));
        spatial::write_tree_state(*tree, reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(state.get())));
    }
    state = maybe_pickle_buffer(std::move(state), protocol);
    return reduction(restore_tree_fn, {state.get()});
}

template <class Tree>
PyObject* tree_copy_body(PyObject* self, const BoundArgs&) {
    Tree copy = *ValueRef<Tree>(self);
    return wrap_value(type_of(copy), std::move(copy));
}

PyObject* restore_tree_body(PyObject*, const BoundArgs& a) {
    spatial::AnyTree tree = [&] {
        const HeldBuffer state = contiguous_bytes(a[0], "state");
        return unwrap(spatial::read_tree_state(state.bytes()));
    }();
    return std::visit([](auto&& t) { return wrap_value(type_of(t), std::move(t)); }, std::move(tree));
}

// ---- entries --------------------------------------------------------------------------------------

Entry array_reduce_ex_entry{"__reduce_ex__", Kind::method, "Array", {required("protocol")}, array_reduce_ex_body};
Entry array_copy_entry{"__copy__", Kind::method, "Array", {}, array_copy_body};
Entry array_deepcopy_entry{"__deepcopy__", Kind::method, "Array", {required("memo")}, array_copy_body};
constexpr Member array_rows[] = {member<array_reduce_ex_entry>, member<array_copy_entry>, member<array_deepcopy_entry>};

Entry generator_reduce_entry{"__reduce__", Kind::method, "Generator", {}, generator_reduce_body};
Entry generator_copy_entry{"__copy__", Kind::method, "Generator", {}, generator_copy_body};
Entry generator_deepcopy_entry{"__deepcopy__", Kind::method, "Generator", {required("memo")}, generator_copy_body};
constexpr Member generator_rows[] = {member<generator_reduce_entry>, member<generator_copy_entry>,
                                     member<generator_deepcopy_entry>};

template <class Tree>
constexpr const char* tree_name = "KDTree";
template <>
constexpr const char* tree_name<BallTree> = "BallTree";
template <>
constexpr const char* tree_name<VPTree> = "VPTree";

template <class Tree>
struct TreeEntries {
    static constexpr const char* name = tree_name<Tree>;
    static inline Entry reduce_ex{
        "__reduce_ex__", Kind::method, name, {required("protocol")}, tree_reduce_ex_body<Tree>};
    static inline Entry copy{"__copy__", Kind::method, name, {}, tree_copy_body<Tree>};
    static inline Entry deepcopy{"__deepcopy__", Kind::method, name, {required("memo")}, tree_copy_body<Tree>};
    static constexpr Member rows[] = {member<reduce_ex>, member<copy>, member<deepcopy>};
};
Entry restore_array_entry{
    "_restore_array", Kind::function, nullptr, {required("data"), required("shape")}, restore_array_body};
Entry restore_generator_entry{"_restore_generator",
                              Kind::function,
                              nullptr,
                              {required("s0"), required("s1"), required("s2"), required("s3")},
                              restore_generator_body};
Entry restore_tree_entry{"_restore_tree", Kind::function, nullptr, {required("state")}, restore_tree_body};
constexpr Member restore_rows[] = {member<restore_array_entry>, member<restore_generator_entry>,
                                   member<restore_tree_entry>};

}  // namespace

constinit const ClassPart array_pickling{array_rows, {}};
constinit const std::span<const Member> generator_pickling_methods = generator_rows;
constinit const std::span<const Member> kd_tree_pickling_methods = TreeEntries<KDTree>::rows;
constinit const std::span<const Member> ball_tree_pickling_methods = TreeEntries<BallTree>::rows;
constinit const std::span<const Member> vp_tree_pickling_methods = TreeEntries<VPTree>::rows;

void add_restore_functions(PyObject* module) {
    PyObject** kept[] = {&restore_array_fn, &restore_generator_fn, &restore_tree_fn};
    PyMethodDef* defs = method_table({restore_rows});
    Ref modname(check(PyUnicode_FromString(PyModule_GetName(module))));
    for (std::size_t i = 0; i < std::size(kept); ++i) {
        Ref fn(check(PyCMethod_New(&defs[i], module, modname.get(), nullptr)));
        if (PyObject_SetAttrString(module, defs[i].ml_name, fn.get()) < 0) raise_current();
        Py_XDECREF(*kept[i]);     // a failed import may have run this before
        *kept[i] = fn.release();  // kept for the life of the process
    }
}

}  // namespace kestrum::py
