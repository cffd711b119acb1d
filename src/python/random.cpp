// random submodule: the Generator class and the seed/new functions.
#include "python/areas.hpp"
#include "python/args.hpp"
#include "python/generator_object.hpp"
#include "random/generator.hpp"

namespace kestrum::py {

namespace {

PyGenerator* as_py(PyObject* o) { return reinterpret_cast<PyGenerator*>(o); }

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

PyObject* seeded_body(PyObject*, const BoundArgs& a) {
    return wrap_generator(Generator::from_seed(arg_u64(a[0], "seed")));
}

PyObject* clock_seeded_body(PyObject*, const BoundArgs&) { return wrap_generator(Generator::from_clock()); }

// ---- sampling ---------------------------------------------------------------------------------

// Every sampling method holds its generator exclusively while the arguments are converted (a
// conversion may run Python code that reaches this generator) and the samples are drawn.
template <ArrayF64 (*draw)(const BoundArgs&, Generator&)>
PyObject* sample_body(PyObject* self, const BoundArgs& a) {
    ExclusiveBorrow hold(as_py(self)->borrow);
    return wrap_array(draw(a, as_py(self)->value));
}

ArrayF64 draw_uniform(const BoundArgs& a, Generator& g) {
    const double low = arg_f64(a[0], "low");
    const double high = arg_f64(a[1], "high");
    return g.uniform(low, high, arg_shape(a[2]));
}

ArrayF64 draw_randint(const BoundArgs& a, Generator& g) {
    const std::int64_t low = arg_i64(a[0], "low");
    const std::int64_t high = arg_i64(a[1], "high");
    return g.randint_f64(low, high, arg_shape(a[2]));
}

ArrayF64 draw_standard_normal(const BoundArgs& a, Generator& g) { return g.standard_normal(arg_shape(a[0])); }

ArrayF64 draw_normal(const BoundArgs& a, Generator& g) {
    const double mu = arg_f64(a[0], "mu");
    const double sigma = arg_f64(a[1], "sigma");
    return g.normal(mu, sigma, arg_shape(a[2]));
}

ArrayF64 draw_lognormal(const BoundArgs& a, Generator& g) {
    const double mu = arg_f64(a[0], "mu");
    const double sigma = arg_f64(a[1], "sigma");
    return g.lognormal(mu, sigma, arg_shape(a[2]));
}

ArrayF64 draw_gamma(const BoundArgs& a, Generator& g) {
    const double shape_param = arg_f64(a[0], "shape_param");
    const double scale = arg_f64(a[1], "scale");
    return g.gamma(shape_param, scale, arg_shape(a[2]));
}

ArrayF64 draw_beta(const BoundArgs& a, Generator& g) {
    const double alpha = arg_f64(a[0], "alpha");
    const double beta_param = arg_f64(a[1], "beta_param");
    return g.beta(alpha, beta_param, arg_shape(a[2]));
}

const Signature sig_from_seed{"Generator.from_seed", {"seed"}, 1};
const Signature sig_seed{"seed", {"seed"}, 1}, sig_new{"new", {}, 0};
const Signature sig_uniform{"Generator.uniform", {"low", "high", "shape"}, 3};
const Signature sig_randint{"Generator.randint", {"low", "high", "shape"}, 3};
const Signature sig_standard_normal{"Generator.standard_normal", {"shape"}, 1};
const Signature sig_normal{"Generator.normal", {"mu", "sigma", "shape"}, 3};
const Signature sig_lognormal{"Generator.lognormal", {"mu", "sigma", "shape"}, 3};
const Signature sig_gamma{"Generator.gamma", {"shape_param", "scale", "shape"}, 3};
const Signature sig_beta{"Generator.beta", {"alpha", "beta_param", "shape"}, 3};

#define KESTRUM_SAMPLER(name, signature)                                                                \
    {#name, KESTRUM_ENTRY(sig_##name, sample_body<draw_##name>), KESTRUM_ENTRY_FLAGS, \
     #name "($self, " signature ")\n--\n\n"}

PyMethodDef generator_methods[] = {
    {"from_seed", KESTRUM_ENTRY(sig_from_seed, seeded_body), KESTRUM_ENTRY_FLAGS | METH_STATIC,
     "from_seed(seed)\n--\n\n"},
    KESTRUM_SAMPLER(uniform, "low, high, shape"),
    KESTRUM_SAMPLER(randint, "low, high, shape"),
    KESTRUM_SAMPLER(standard_normal, "shape"),
    KESTRUM_SAMPLER(normal, "mu, sigma, shape"),
    KESTRUM_SAMPLER(lognormal, "mu, sigma, shape"),
    KESTRUM_SAMPLER(gamma, "shape_param, scale, shape"),
    KESTRUM_SAMPLER(beta, "alpha, beta_param, shape"),
    {nullptr, nullptr, 0, nullptr},
};

#undef KESTRUM_SAMPLER

}  // namespace

PyObject* wrap_generator(const Generator& value) {
    PyTypeObject* type = generator_type();
    PyObject* obj = check(type->tp_alloc(type, 0));
    as_py(obj)->borrow = BorrowFlag{};
    as_py(obj)->value = value;
    return obj;
}

PyTypeObject* generator_type() {
    static PyTypeObject* type = [] {
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(generator_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(generator_dealloc)},
            {Py_tp_doc, const_cast<char*>("Generator()\n--\n\n")},
            {Py_tp_methods, joined_methods({generator_methods, generator_pickling_methods})},
            {0, nullptr},
        };
        static PyType_Spec spec = {"kestrum.Generator", sizeof(PyGenerator), 0, Py_TPFLAGS_DEFAULT, slots};
        return make_type(&spec);
    }();
    return type;
}

PyMethodDef random_functions[] = {
    {"seed", KESTRUM_ENTRY(sig_seed, seeded_body), KESTRUM_ENTRY_FLAGS, "seed(seed)\n--\n\n"},
    {"new", KESTRUM_ENTRY(sig_new, clock_seeded_body), KESTRUM_ENTRY_FLAGS, "new()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kestrum::py
