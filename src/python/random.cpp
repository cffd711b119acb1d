// random submodule: the Generator class and the seed/new functions.
#include "python/areas.hpp"
#include "python/args.hpp"
#include "random/generator.hpp"

namespace kestrum::py {

namespace {

PyObject* wrap_generator(const Generator& value) { return wrap_value(generator_type(), Generator(value)); }

// ---- construction -----------------------------------------------------------------------------

PyObject* clock_seeded_body(PyObject*, const BoundArgs&) { return wrap_generator(Generator::from_clock()); }

PyObject* seeded_body(PyObject*, const BoundArgs& a) {
    return wrap_generator(Generator::from_seed(arg_u64(a[0], "seed")));
}

// ---- sampling ---------------------------------------------------------------------------------

// Every sampling method holds its generator exclusively while the arguments are converted (a
// conversion may run Python code that reaches this generator) and the samples are drawn.
template <ArrayF64 (*draw)(const BoundArgs&, Generator&)>
PyObject* sample_body(PyObject* self, const BoundArgs& a) {
    PyBox<Generator>* g = box<Generator>(self);
    ExclusiveBorrow hold(g->borrow);
    return wrap_array(draw(a, g->value));
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

Entry generator_new_entry{"__new__", Kind::constructor, "Generator", {}, clock_seeded_body};
Entry from_seed_entry{"from_seed", Kind::static_method, "Generator", {required("seed")}, seeded_body};
Entry seed_entry{"seed", Kind::function, nullptr, {required("seed")}, seeded_body};
Entry new_entry{"new", Kind::function, nullptr, {}, clock_seeded_body};

#define KESTRUM_SAMPLER(name, ...) \
    Entry name##_entry{#name, Kind::method, "Generator", {__VA_ARGS__}, sample_body<draw_##name>};
KESTRUM_SAMPLER(uniform, required("low"), required("high"), required("shape"))
KESTRUM_SAMPLER(randint, required("low"), required("high"), required("shape"))
KESTRUM_SAMPLER(standard_normal, required("shape"))
KESTRUM_SAMPLER(normal, required("mu"), required("sigma"), required("shape"))
KESTRUM_SAMPLER(lognormal, required("mu"), required("sigma"), required("shape"))
KESTRUM_SAMPLER(gamma, required("shape_param"), required("scale"), required("shape"))
KESTRUM_SAMPLER(beta, required("alpha"), required("beta_param"), required("shape"))
#undef KESTRUM_SAMPLER

constexpr Member generator_rows[] = {
    member<from_seed_entry>, member<uniform_entry>,   member<randint_entry>, member<standard_normal_entry>,
    member<normal_entry>,    member<lognormal_entry>, member<gamma_entry>,   member<beta_entry>,
};

constexpr Member function_rows[] = {member<seed_entry>, member<new_entry>};

}  // namespace

PyTypeObject* generator_type() {
    static PyTypeObject* type = [] {
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(construct<generator_new_entry>)},
            {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_value<Generator>)},
            {Py_tp_doc, const_cast<char*>(class_doc(generator_new_entry))},
            {Py_tp_methods, method_table({generator_rows, generator_pickling_methods})},
            {0, nullptr},
        };
        static PyType_Spec spec = {"kestrum.Generator", sizeof(PyBox<Generator>), 0, Py_TPFLAGS_DEFAULT, slots};
        return make_type(&spec);
    }();
    return type;
}

constinit const std::span<const Member> random_functions = function_rows;

}  // namespace kestrum::py
