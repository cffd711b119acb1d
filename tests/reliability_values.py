"""Hostile inputs and the catalogue of public entries shared by the reliability tests.

Every size drawn here is either tiny (at most a few hundred elements) or so large that no storage
can exist for it (2**61 elements and more), so a fuzzed call never allocates or touches gigabytes.
"""
import math

import numpy as np
from hypothesis import strategies as st

import kestrum
from support import PanicException
from kestrum import linalg, random, spatial, stats


class Boom(Exception):
    """Raised by the hostile conversion hooks below; must reach the caller unchanged."""


class BadFloat:
    def __float__(self):
        raise Boom("__float__")


class BadIndex:
    def __index__(self):
        raise Boom("__index__")


class FloatNotFloat:
    def __float__(self):
        return "not a float"


class IndexNotInt:
    def __index__(self):
        return 1.5


class GoodFloat:
    def __float__(self):
        return 0.25


class GoodIndex:
    def __index__(self):
        return 1


class LyingLength:
    """A sequence whose reported length is absurd; its items end after three."""

    def __len__(self):
        return 2**62

    def __getitem__(self, i):
        if i < 3:
            return 1.0
        raise IndexError(i)


class BadItems:
    def __len__(self):
        return 2

    def __getitem__(self, i):
        raise Boom("__getitem__")


class NegativeLength:
    def __len__(self):
        return -1

    def __getitem__(self, i):
        raise IndexError(i)


def _gen():
    yield 1.0


HUGE_INTS = [2**61, 2**62, 2**63 - 1, 2**63, 2**64 - 1, 2**64, 2**100, -(2**61), -(2**63), -(2**63) - 1, -(2**100)]
SMALL_INTS = list(range(-3, 7))
SUBNORMAL = 5e-324
SPECIAL_FLOATS = [0.0, -0.0, 1.0, -1.0, 0.5, 2.0, math.inf, -math.inf, math.nan, SUBNORMAL, -SUBNORMAL,
                  2.2250738585072014e-308, 1.7976931348623157e308, -1.7976931348623157e308, 1e-300, 3.0]

floats = st.one_of(st.sampled_from(SPECIAL_FLOATS), st.floats(allow_nan=True, allow_infinity=True))
finite = st.floats(-1e6, 1e6, allow_nan=False, allow_infinity=False)


def _odd_objects():
    return [None, "", "abc", "1.5", b"ab", {}, {1: 2}, set(), object(), [[1.0, 2.0]], [[]], [None],
            ["x"], [1.0, "x"], (1.0, [2.0]), BadFloat(), BadIndex(), FloatNotFloat(), IndexNotInt(), GoodFloat(),
            GoodIndex(), LyingLength(), BadItems(), NegativeLength(), [BadFloat()], [BadIndex()], [GoodIndex()],
            range(3), True, False, 1j, np.float64(1.5), np.int64(2), np.array(1.5), np.array([1.0, 2.0]),
            np.array([[1, 2]]), np.zeros((2, 2), dtype=np.float32), np.arange(6.0).reshape(2, 3)[:, ::2],
            np.array(["a"]), kestrum.random.seed(1), [2**64], [-1], [2**63]]


# Built once: none of them changes when used (the generator is made fresh per draw).
_ODD = _odd_objects()
odd = st.one_of(st.sampled_from(_ODD), st.builds(_gen))


def dims(max_ndim=3, max_dim=4):
    """A shape: tiny dimensions, sometimes a zero next to an impossible one."""
    tiny = st.lists(st.integers(0, max_dim), min_size=0, max_size=max_ndim)
    giant_empty = st.lists(st.sampled_from([0, 1, 2, 2**61, 2**63, 2**64 - 1]), min_size=1, max_size=3).map(
        lambda d: d + [0])
    return st.one_of(tiny, tiny, tiny, giant_empty)


def impossible_dims():
    """Shapes whose element count needs more storage than can exist (or overflows 64 bits)."""
    return st.lists(st.sampled_from([1, 2, 3, 2**61, 2**62, 2**63, 2**64 - 1]), min_size=1, max_size=3).filter(
        lambda d: math.prod(d) >= 2**61)


def size_of(shape):
    return math.prod(shape)


@st.composite
def arrays(draw, shape=None, elements=floats):
    if shape is None:
        shape = draw(dims())
    elif isinstance(shape, st.SearchStrategy):
        shape = draw(shape)
    data = draw(st.lists(elements, min_size=size_of(shape), max_size=size_of(shape)))
    return kestrum.Array(shape, data)


@st.composite
def matrices(draw, max_dim=5, square=False, elements=floats):
    r = draw(st.integers(0, max_dim))
    c = r if square else draw(st.integers(0, max_dim))
    return draw(arrays([r, c], elements))


def wild(plausible):
    """The plausible values of a parameter, mixed with everything that is not."""
    return st.one_of(plausible, plausible, plausible, odd, st.sampled_from(HUGE_INTS), floats,
                     st.builds(lambda: None), arrays())


ints = st.one_of(st.sampled_from(SMALL_INTS), st.sampled_from(HUGE_INTS))
shape_values = st.one_of(dims(), impossible_dims(), dims().map(tuple))
float_lists = st.lists(floats, max_size=8)
index_lists = st.lists(st.one_of(st.integers(0, 8), st.sampled_from(HUGE_INTS)), max_size=4)
metric_names = st.sampled_from(["euclidean", "Manhattan", "CHEBYSHEV", "cosine", "", "euclidean ", "ß"])
kernel_names = st.sampled_from(["gaussian", "Epanechnikov", "UNIFORM", "triangular", "tophat", " gaussian"])
criterion_names = st.sampled_from(["none", "min_samples", "MAX_SPAN", "combined", "other"])
selection_names = st.sampled_from(["first", "Random", "median"])

# Plausible values per parameter name; every entry below draws its arguments from these.
PARAMS = {
    "shape": shape_values,
    "data": st.one_of(float_lists, arrays(), st.lists(floats, max_size=8).map(tuple)),
    "fill_value": floats,
    "n": st.one_of(st.integers(0, 5), st.sampled_from(HUGE_INTS)),
    "m": st.one_of(st.integers(0, 5), st.sampled_from(HUGE_INTS)),
    "k": ints,
    "v": st.one_of(float_lists, arrays()),
    "arrays": st.lists(arrays(), max_size=3),
    "a": arrays(),
    "b": arrays(),
    "other": arrays(),
    "min": floats,
    "max": floats,
    "indices": index_lists,
    "dim": st.one_of(st.integers(0, 4), st.sampled_from(HUGE_INTS)),
    "offset": st.one_of(st.integers(0, 40), st.sampled_from(HUGE_INTS)),
    "arr": st.sampled_from([np.zeros((2, 3)), np.zeros(0), np.array(2.0), np.ones((2, 3), order="F"),
                            np.arange(8.0)[::2], np.zeros((0, 5)), np.zeros(3, dtype=np.int64)]),
    # Iteration counts stay small: the eigenvalue iteration runs max_iter steps by contract.
    "max_iter": st.integers(0, 30),
    "tol": floats,
    "q": st.one_of(st.floats(0, 1), floats, arrays()),
    "seed": st.one_of(st.integers(0, 2**64 - 1), ints),
    "low": st.one_of(finite, floats, ints),
    "high": st.one_of(finite, floats, ints),
    "mu": floats,
    "sigma": floats,
    "shape_param": st.one_of(st.floats(0.01, 50), floats),
    "scale": floats,
    "alpha": st.one_of(st.floats(0.01, 50), floats),
    "beta_param": st.one_of(st.floats(0.01, 50), floats),
    "array": st.one_of(matrices(6), arrays()),
    "leaf_size": st.one_of(st.integers(0, 4), st.sampled_from(HUGE_INTS)),
    "metric": metric_names,
    "selection": selection_names,
    "query": st.one_of(float_lists, floats, arrays()),
    "queries": st.one_of(float_lists, floats, arrays(), matrices(4)),
    "radius": floats,
    "bandwidth": floats,
    "kernel": kernel_names,
    "criterion": criterion_names,
    "min_samples": st.one_of(st.integers(0, 10), st.sampled_from(HUGE_INTS)),
    "max_span": floats,
    "protocol": st.one_of(st.integers(-1, 6), st.sampled_from(HUGE_INTS)),
    "memo": st.one_of(st.none(), st.just({})),
    "state": st.one_of(st.binary(max_size=96), arrays(), float_lists),
    **{f"s{i}": st.one_of(st.integers(0, 2**64 - 1), ints) for i in range(4)},
}


def _tree(cls):
    def make(draw):
        pts = draw(matrices(6, elements=st.one_of(finite, st.sampled_from(SPECIAL_FLOATS))).filter(
            lambda a: a.shape[0] > 0))
        try:
            return cls.from_array(pts, leaf_size=draw(st.integers(1, 4)))
        except PanicException:
            return cls.from_array(kestrum.Array([3, 2], [0.0, 0.0, 1.0, 1.0, 2.0, 0.5]))
    return make


def _array(draw):
    return draw(arrays())


def _generator(draw):
    return random.seed(draw(st.integers(0, 2**64 - 1)))


# (label, area, receiver factory or None, callable(receiver, *args, **kwargs), parameter names, required count)
ENTRIES = []


def _function(label, area, fn, params, required=None):
    ENTRIES.append((label, area, None, lambda _r, *a, **k: fn(*a, **k), params,
                    len(params) if required is None else required))


def _method(label, area, receiver, name, params, required=None):
    ENTRIES.append((label, area, receiver, lambda r, *a, **k: getattr(r, name)(*a, **k), params,
                    len(params) if required is None else required))


_function("Array", "array", kestrum.Array, ["shape", "data"])
for _mod in ("kestrum", "Array"):
    _owner = kestrum if _mod == "kestrum" else kestrum.Array
    _function(f"{_mod}.asarray", "array", _owner.asarray, ["data", "shape"], 1)
    _function(f"{_mod}.zeros", "array", _owner.zeros, ["shape"])
    _function(f"{_mod}.ones", "array", _owner.ones, ["shape"])
    _function(f"{_mod}.full", "array", _owner.full, ["shape", "fill_value"])
    _function(f"{_mod}.eye", "array", _owner.eye, ["n", "m", "k"], 1)
    _function(f"{_mod}.diag", "array", _owner.diag, ["v", "k"], 1)
_function("column_stack", "array", kestrum.column_stack, ["arrays"])
_function("Array.from_numpy", "array", kestrum.Array.from_numpy, ["arr"])
_function("Array.outer", "linalg", kestrum.Array.outer, ["a", "b"])
for _name in ("abs", "sign", "sqrt", "exp", "log", "sin", "cos", "tan", "arcsin", "arccos", "arctan", "tolist",
              "to_numpy", "transpose", "t"):
    _method(f"Array.{_name}", "array", _array, _name, [])
_method("Array.clip", "array", _array, "clip", ["min", "max"])
_method("Array.get", "array", _array, "get", ["indices"])
_method("Array.take", "array", _array, "take", ["indices"])
_method("Array.to_pylist_recursive", "array", _array, "to_pylist_recursive", ["dim", "offset"])
_method("Array.matmul", "linalg", _array, "matmul", ["other"])
_method("Array.dot", "linalg", _array, "dot", ["other"])
_method("Array.diagonal", "linalg", _array, "diagonal", ["k"], 0)
for _name in ("matmul", "dot", "outer"):
    _function(f"linalg.{_name}", "linalg", getattr(linalg, _name), ["a", "b"])
for _name in ("transpose", "cholesky", "qr", "eigvals"):
    _function(f"linalg.{_name}", "linalg", getattr(linalg, _name), ["a"])
_function("linalg.eig", "linalg", linalg.eig, ["a"])
_function("linalg.eig_with_params", "linalg", linalg.eig_with_params, ["a", "max_iter", "tol"], 1)
_function("linalg.diagonal", "linalg", linalg.diagonal, ["a", "k"], 1)
for _name in ("sum", "mean", "var", "std", "median", "any", "all"):
    _function(f"stats.{_name}", "stats", getattr(stats, _name), ["a"])
    _method(f"Array.{_name}", "stats", _array, _name, [])
_function("stats.quantile", "stats", stats.quantile, ["a", "q"])
_method("Array.quantile", "stats", _array, "quantile", ["q"])
_function("stats.pearson", "stats", stats.pearson, ["a", "b"])
_function("stats.spearman", "stats", stats.spearman, ["a", "b"])
_function("random.seed", "random", random.seed, ["seed"])
_function("Generator.from_seed", "random", kestrum.Generator.from_seed, ["seed"])
_function("random.new", "random", random.new, [])
_function("Generator", "random", kestrum.Generator, [])
_method("Generator.uniform", "random", _generator, "uniform", ["low", "high", "shape"])
_method("Generator.randint", "random", _generator, "randint", ["low", "high", "shape"])
_method("Generator.standard_normal", "random", _generator, "standard_normal", ["shape"])
_method("Generator.normal", "random", _generator, "normal", ["mu", "sigma", "shape"])
_method("Generator.lognormal", "random", _generator, "lognormal", ["mu", "sigma", "shape"])
_method("Generator.gamma", "random", _generator, "gamma", ["shape_param", "scale", "shape"])
_method("Generator.beta", "random", _generator, "beta", ["alpha", "beta_param", "shape"])
for _cls_name in ("KDTree", "BallTree", "VPTree"):
    _cls = getattr(spatial, _cls_name)
    _params = ["array", "leaf_size", "metric"] + (["selection"] if _cls_name == "VPTree" else [])
    _function(f"{_cls_name}.from_array", "spatial", (lambda c: lambda *a, **k: c.from_array(*a, **k))(_cls),
              _params, 1)
    _method(f"{_cls_name}.query_knn", "spatial", _tree(_cls), "query_knn", ["query", "k"])
    _method(f"{_cls_name}.query_radius", "spatial", _tree(_cls), "query_radius", ["query", "radius"])
    _method(f"{_cls_name}.kernel_density", "spatial", _tree(_cls), "kernel_density",
            ["queries", "bandwidth", "kernel"], 0)
    _method(f"{_cls_name}.kernel_density_approx", "spatial", _tree(_cls), "kernel_density_approx",
            ["queries", "bandwidth", "kernel", "criterion", "min_samples", "max_span"], 0)

# Pickling and copying, and the functions pickles name to rebuild objects.
for _label, _area, _factory, _reduce in (
        ("Array", "array", _array, "__reduce_ex__"), ("Generator", "random", _generator, "__reduce__"),
        ("KDTree", "spatial", _tree(spatial.KDTree), "__reduce_ex__"),
        ("BallTree", "spatial", _tree(spatial.BallTree), "__reduce_ex__"),
        ("VPTree", "spatial", _tree(spatial.VPTree), "__reduce_ex__")):
    _method(f"{_label}.{_reduce}", _area, _factory, _reduce, ["protocol"] if _reduce == "__reduce_ex__" else [])
    _method(f"{_label}.__copy__", _area, _factory, "__copy__", [])
    _method(f"{_label}.__deepcopy__", _area, _factory, "__deepcopy__", ["memo"])
_function("_restore_array", "array", kestrum._restore_array, ["data", "shape"])
_function("_restore_generator", "random", kestrum._restore_generator, ["s0", "s1", "s2", "s3"])
_function("_restore_tree", "spatial", kestrum._restore_tree, ["state"])

