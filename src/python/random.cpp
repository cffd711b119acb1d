// random submodule: the Generator class and the seed/new functions.
#include "python/areas.hpp"
#include "python/args.hpp"
#include "random/generator.hpp"

namespace kestrum::py {

namespace {

struct PyGenerator {
    PyObject_HEAD
    BorrowFlag borrow;
    Generator value;
};

PyGenerator* as_py(PyObject* o) { return reinterpret_cast<PyGenerator*>(o); }

PyObject* wrap_generator(const Generator& value) {
    PyTypeObject* type = generator_type();
    PyObject* obj = check(type->tp_alloc(type, 0));
    as_py(obj)->borrow = BorrowFlag{};
    as_py(obj)->value = value;
    return obj;
}

// ---- construction -----------------------------------------------------------------------------

PyObject* generator_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&] {
        static const Signature sig{"Generator.__new__", {}, 0};
        bind_tuple(sig, args, kwargs);
        return wrap_generator(Generator::from_clock());
    });
}

void generator_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* seeded_with(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        BoundArgs a = bind(sig, args, nargs, kwnames);
        return wrap_generator(Generator::from_seed(arg_u64(a[0], "seed")));
    });
}

PyObject* generator_from_seed(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"Generator.from_seed", {"seed"}, 1};
    return seeded_with(sig, args, nargs, kwnames);
}

PyObject* random_seed(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"seed", {"seed"}, 1};
    return seeded_with(sig, args, nargs, kwnames);
}

PyObject* random_new(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static const Signature sig{"new", {}, 0};
        bind(sig, args, nargs, kwnames);
        return wrap_generator(Generator::from_clock());
    });
}

// ---- sampling ---------------------------------------------------------------------------------

// Every sampling method: bind, hold the generator exclusively while the arguments are converted
// (a conversion may run Python code that reaches this generator) and the samples are drawn.
template <class Draw>
PyObject* sample(PyObject* self, const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 Draw draw) {
    return guarded([&] {
        BoundArgs a = bind(sig, args, nargs, kwnames);
        ExclusiveBorrow hold(as_py(self)->borrow);
        return wrap_array(draw(a, as_py(self)->value));
    });
}

PyObject* generator_uniform(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"Generator.uniform", {"low", "high", "shape"}, 3};
    return sample(self, sig, args, nargs, kwnames, [](const BoundArgs& a, Generator& g) {
        const double low = arg_f64(a[0], "low");
        const double high = arg_f64(a[1], "high");
        return g.uniform(low, high, arg_shape(a[2]));
    });
}

PyObject* generator_randint(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"Generator.randint", {"low", "high", "shape"}, 3};
    return sample(self, sig, args, nargs, kwnames, [](const BoundArgs& a, Generator& g) {
        const std::int64_t low = arg_i64(a[0], "low");
        const std::int64_t high = arg_i64(a[1], "high");
        return g.randint_f64(low, high, arg_shape(a[2]));
    });
}

PyObject* generator_standard_normal(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"Generator.standard_normal", {"shape"}, 1};
    return sample(self, sig, args, nargs, kwnames,
                  [](const BoundArgs& a, Generator& g) { return g.standard_normal(arg_shape(a[0])); });
}

PyObject* generator_normal(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"Generator.normal", {"mu", "sigma", "shape"}, 3};
    return sample(self, sig, args, nargs, kwnames, [](const BoundArgs& a, Generator& g) {
        const double mu = arg_f64(a[0], "mu");
        const double sigma = arg_f64(a[1], "sigma");
        return g.normal(mu, sigma, arg_shape(a[2]));
    });
}

PyObject* generator_lognormal(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"Generator.lognormal", {"mu", "sigma", "shape"}, 3};
    return sample(self, sig, args, nargs, kwnames, [](const BoundArgs& a, Generator& g) {
        const double mu = arg_f64(a[0], "mu");
        const double sigma = arg_f64(a[1], "sigma");
        return g.lognormal(mu, sigma, arg_shape(a[2]));
    });
}

PyObject* generator_gamma(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"Generator.gamma", {"shape_param", "scale", "shape"}, 3};
    return sample(self, sig, args, nargs, kwnames, [](const BoundArgs& a, Generator& g) {
        const double shape_param = arg_f64(a[0], "shape_param");
        const double scale = arg_f64(a[1], "scale");
        return g.gamma(shape_param, scale, arg_shape(a[2]));
    });
}

PyObject* generator_beta(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature sig{"Generator.beta", {"alpha", "beta_param", "shape"}, 3};
    return sample(self, sig, args, nargs, kwnames, [](const BoundArgs& a, Generator& g) {
        const double alpha = arg_f64(a[0], "alpha");
        const double beta_param = arg_f64(a[1], "beta_param");
        return g.beta(alpha, beta_param, arg_shape(a[2]));
    });
}

PyMethodDef generator_methods[] = {
    {"from_seed", KESTRUM_FASTCALL(generator_from_seed), KESTRUM_ENTRY_FLAGS | METH_STATIC, "from_seed(seed)\n--\n\n"},
    {"uniform", KESTRUM_FASTCALL(generator_uniform), KESTRUM_ENTRY_FLAGS, "uniform($self, low, high, shape)\n--\n\n"},
    {"randint", KESTRUM_FASTCALL(generator_randint), KESTRUM_ENTRY_FLAGS, "randint($self, low, high, shape)\n--\n\n"},
    {"standard_normal", KESTRUM_FASTCALL(generator_standard_normal), KESTRUM_ENTRY_FLAGS,
     "standard_normal($self, shape)\n--\n\n"},
    {"normal", KESTRUM_FASTCALL(generator_normal), KESTRUM_ENTRY_FLAGS, "normal($self, mu, sigma, shape)\n--\n\n"},
    {"lognormal", KESTRUM_FASTCALL(generator_lognormal), KESTRUM_ENTRY_FLAGS,
     "lognormal($self, mu, sigma, shape)\n--\n\n"},
    {"gamma", KESTRUM_FASTCALL(generator_gamma), KESTRUM_ENTRY_FLAGS, "gamma($self, shape_param, scale, shape)\n--\n\n"},
    {"beta", KESTRUM_FASTCALL(generator_beta), KESTRUM_ENTRY_FLAGS, "beta($self, alpha, beta_param, shape)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* generator_type() {
    static PyTypeObject* type = [] {
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(generator_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(generator_dealloc)},
            {Py_tp_doc, const_cast<char*>("Generator()\n--\n\n")},
            {Py_tp_methods, generator_methods},
            {0, nullptr},
        };
        static PyType_Spec spec = {"kestrum.Generator", sizeof(PyGenerator), 0, Py_TPFLAGS_DEFAULT, slots};
        return make_type(&spec);
    }();
    return type;
}

PyMethodDef random_functions[] = {
    {"seed", KESTRUM_FASTCALL(random_seed), KESTRUM_ENTRY_FLAGS, "seed(seed)\n--\n\n"},
    {"new", KESTRUM_FASTCALL(random_new), KESTRUM_ENTRY_FLAGS, "new()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kestrum::py
