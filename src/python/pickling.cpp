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
#include "python/generator_object.hpp"
#include "python/tree_object.hpp"
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

// A contiguous buffer of another object, released on every exit path.
class HeldBuffer {
public:
    HeldBuffer(PyObject* o, const char* name) {
        with_argument(name, [&] {
            if (PyObject_GetBuffer(o, &view_, PyBUF_C_CONTIGUOUS) < 0) raise_current();
        });
    }
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() { PyBuffer_Release(&view_); }

    std::span<const std::uint8_t> bytes() const {
        return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
};

// (restore, args) with args steals nothing: every item is borrowed.
PyObject* reduction(PyObject* restore, std::initializer_list<PyObject*> args) {
    Ref tuple(check(PyTuple_New(static_cast<Py_ssize_t>(args.size()))));
    Py_ssize_t i = 0;
    for (PyObject* a : args) {
        Py_INCREF(a);
        PyTuple_SET_ITEM(tuple.get(), i++, a);
    }
    if (!restore) raise(PyExc_RuntimeError, "kestrum is not initialised");
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

PyObject* array_reduce_ex(PyObject* self, const BoundArgs& a) {
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

PyObject* array_copy(PyObject* self, const BoundArgs&) {
    ArrayF64 copy = ArrayRef(self)->clone();
    return wrap_array(std::move(copy));
}

PyObject* restore_array(PyObject*, const BoundArgs& a) {
    HeldBuffer data(a[0], "data");
    Shape shape(arg_u64_list(a[1], "shape"));
    const std::uint64_t size = shape.size();
    const std::size_t bytes = data.bytes().size();
    if (bytes % sizeof(double) != 0 || bytes / sizeof(double) != size)
        raise(PyExc_ValueError, "invalid array state: " + std::to_string(bytes) + " bytes do not hold shape " +
                                    format_dims(shape.dims) + " (expected " + std::to_string(size) + " float64 values)");
    Buffer<double> values = Buffer<double>::uninit(size);
    if (size) std::memcpy(values.data(), data.bytes().data(), bytes);
    return wrap_array(ArrayF64::create(std::move(shape), std::move(values)));
}

// ---- Generator ------------------------------------------------------------------------------------

Generator generator_state(PyObject* self) {
    auto* g = reinterpret_cast<PyGenerator*>(self);
    SharedBorrow hold(g->borrow);
    return g->value;
}

PyObject* generator_reduce(PyObject* self, const BoundArgs&) {
    const Generator g = generator_state(self);
    Ref words[4];
    const std::uint64_t state[4] = {g.s0, g.s1, g.s2, g.s3};
    for (int i = 0; i < 4; ++i) words[i] = Ref(check(PyLong_FromUnsignedLongLong(state[i])));
    return reduction(restore_generator_fn, {words[0].get(), words[1].get(), words[2].get(), words[3].get()});
}

PyObject* generator_copy(PyObject* self, const BoundArgs&) { return wrap_generator(generator_state(self)); }

PyObject* restore_generator(PyObject*, const BoundArgs& a) {
    const std::uint64_t s0 = arg_u64(a[0], "s0"), s1 = arg_u64(a[1], "s1");
    const std::uint64_t s2 = arg_u64(a[2], "s2"), s3 = arg_u64(a[3], "s3");
    return wrap_generator(unwrap(Generator::from_state(s0, s1, s2, s3)));
}

// ---- trees ----------------------------------------------------------------------------------------

template <class Tree>
PyObject* tree_reduce_ex(PyObject* self, const BoundArgs& a) {
    const std::int64_t protocol = arg_i64(a[0], "protocol");
    Ref state;
    {
        TreeRef<Tree> tree(self);
        const std::size_t size = spatial::write_tree_state(*tree, nullptr);
        state = Ref(check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size))));
        spatial::write_tree_state(*tree, reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(state.get())));
    }
    state = maybe_pickle_buffer(std::move(state), protocol);
    return reduction(restore_tree_fn, {state.get()});
}

template <class Tree>
PyObject* tree_copy(PyObject* self, const BoundArgs&) {
    Tree copy = *TreeRef<Tree>(self);
    return wrap_tree(std::move(copy));
}

PyObject* restore_tree(PyObject*, const BoundArgs& a) {
    spatial::AnyTree tree = [&] {
        HeldBuffer state(a[0], "state");
        return unwrap(spatial::read_tree_state(state.bytes()));
    }();
    return std::visit([](auto&& t) { return wrap_tree(std::move(t)); }, std::move(tree));
}

// ---- tables ---------------------------------------------------------------------------------------

const Signature sig_array_reduce_ex{"Array.__reduce_ex__", {"protocol"}, 1};
const Signature sig_array_copy{"Array.__copy__", {}, 0};
const Signature sig_array_deepcopy{"Array.__deepcopy__", {"memo"}, 1};
const Signature sig_generator_reduce{"Generator.__reduce__", {}, 0};
const Signature sig_generator_copy{"Generator.__copy__", {}, 0};
const Signature sig_generator_deepcopy{"Generator.__deepcopy__", {"memo"}, 1};
const Signature sig_restore_array{"_restore_array", {"data", "shape"}, 2};
const Signature sig_restore_generator{"_restore_generator", {"s0", "s1", "s2", "s3"}, 4};
const Signature sig_restore_tree{"_restore_tree", {"state"}, 1};

#define KESTRUM_COPY_METHODS(sig_copy, sig_deepcopy, body)                                                        \
    {"__copy__", KESTRUM_ENTRY(sig_copy, body), KESTRUM_ENTRY_FLAGS, "__copy__($self, /)\n--\n\n"},              \
        {"__deepcopy__", KESTRUM_ENTRY(sig_deepcopy, body), KESTRUM_ENTRY_FLAGS, "__deepcopy__($self, memo, /)\n--\n\n"}

#define KESTRUM_REDUCE_EX(sig, body) \
    {"__reduce_ex__", KESTRUM_ENTRY(sig, body), KESTRUM_ENTRY_FLAGS, "__reduce_ex__($self, protocol, /)\n--\n\n"}

template <class Tree>
struct TreeSignatures {
    static const Signature reduce_ex, copy, deepcopy;
};
template <>
const Signature TreeSignatures<KDTree>::reduce_ex{"KDTree.__reduce_ex__", {"protocol"}, 1};
template <>
const Signature TreeSignatures<KDTree>::copy{"KDTree.__copy__", {}, 0};
template <>
const Signature TreeSignatures<KDTree>::deepcopy{"KDTree.__deepcopy__", {"memo"}, 1};
template <>
const Signature TreeSignatures<BallTree>::reduce_ex{"BallTree.__reduce_ex__", {"protocol"}, 1};
template <>
const Signature TreeSignatures<BallTree>::copy{"BallTree.__copy__", {}, 0};
template <>
const Signature TreeSignatures<BallTree>::deepcopy{"BallTree.__deepcopy__", {"memo"}, 1};
template <>
const Signature TreeSignatures<VPTree>::reduce_ex{"VPTree.__reduce_ex__", {"protocol"}, 1};
template <>
const Signature TreeSignatures<VPTree>::copy{"VPTree.__copy__", {}, 0};
template <>
const Signature TreeSignatures<VPTree>::deepcopy{"VPTree.__deepcopy__", {"memo"}, 1};

#define KESTRUM_TREE_PICKLING(Tree)                                                                           \
    {                                                                                                         \
        KESTRUM_REDUCE_EX(TreeSignatures<Tree>::reduce_ex, tree_reduce_ex<Tree>),                             \
            KESTRUM_COPY_METHODS(TreeSignatures<Tree>::copy, TreeSignatures<Tree>::deepcopy, tree_copy<Tree>), \
            {nullptr, nullptr, 0, nullptr},                                                                   \
    }

PyMethodDef restore_functions[] = {
    {"_restore_array", KESTRUM_ENTRY(sig_restore_array, restore_array), KESTRUM_ENTRY_FLAGS,
     "_restore_array(data, shape)\n--\n\n"},
    {"_restore_generator", KESTRUM_ENTRY(sig_restore_generator, restore_generator), KESTRUM_ENTRY_FLAGS,
     "_restore_generator(s0, s1, s2, s3)\n--\n\n"},
    {"_restore_tree", KESTRUM_ENTRY(sig_restore_tree, restore_tree), KESTRUM_ENTRY_FLAGS,
     "_restore_tree(state)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef array_pickling_methods[] = {
    KESTRUM_REDUCE_EX(sig_array_reduce_ex, array_reduce_ex),
    KESTRUM_COPY_METHODS(sig_array_copy, sig_array_deepcopy, array_copy),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef generator_pickling_methods[] = {
    {"__reduce__", KESTRUM_ENTRY(sig_generator_reduce, generator_reduce), KESTRUM_ENTRY_FLAGS,
     "__reduce__($self, /)\n--\n\n"},
    KESTRUM_COPY_METHODS(sig_generator_copy, sig_generator_deepcopy, generator_copy),
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kd_tree_pickling_methods[] = KESTRUM_TREE_PICKLING(KDTree);
PyMethodDef ball_tree_pickling_methods[] = KESTRUM_TREE_PICKLING(BallTree);
PyMethodDef vp_tree_pickling_methods[] = KESTRUM_TREE_PICKLING(VPTree);

void add_restore_functions(PyObject* module) {
    PyObject** slots[] = {&restore_array_fn, &restore_generator_fn, &restore_tree_fn};
    Ref modname(check(PyUnicode_FromString(PyModule_GetName(module))));
    for (std::size_t i = 0; i < 3; ++i) {
        PyMethodDef* def = &restore_functions[i];
        Ref fn(check(PyCMethod_New(def, module, modname.get(), nullptr)));
        if (PyObject_SetAttrString(module, def->ml_name, fn.get()) < 0) raise_current();
        Py_XDECREF(*slots[i]);  // a failed import may have run this before
        *slots[i] = fn.release();  // kept for the life of the process
    }
}

}  // namespace kestrum::py
