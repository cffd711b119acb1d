"""The module itself: exported names, submodules, text signatures, the panic type, the exported
symbol, Array construction and repr, asarray."""
import math
import re
import struct

import pytest

import kestrum
from support import PanicException
from test_stubs import ROOT


def test_top_level_all_in_registration_order():
    assert kestrum.__all__ == [
        "Array", "PyArrayIter", "Generator", "BallTree", "KDTree",
        "zeros", "ones", "full", "asarray", "eye", "diag", "column_stack",
        "linalg", "stats", "random", "spatial",
    ]


@pytest.mark.parametrize(
    "name, names",
    [
        ("linalg", ["matmul", "dot", "transpose", "cholesky", "qr", "eig", "eig_with_params", "eigvals",
                    "diagonal", "outer"]),
        ("stats", ["sum", "mean", "var", "std", "median", "quantile", "any", "all", "pearson", "spearman"]),
        ("random", ["Generator", "seed", "new"]),
        ("spatial", ["BallTree", "KDTree", "VPTree"]),
    ],
)
def test_submodules(name, names):
    sub = getattr(kestrum, name)
    assert sub.__name__ == name
    assert sub.__all__ == names
    for n in names:
        assert hasattr(sub, n)


def test_submodules_are_attributes_only():
    import importlib
    import sys

    assert "kestrum.linalg" not in sys.modules
    with pytest.raises(ModuleNotFoundError):
        importlib.import_module("kestrum.linalg")
    from kestrum import linalg

    assert linalg is kestrum.linalg


def test_classes_shared_and_vptree_not_top_level():
    assert kestrum.KDTree is kestrum.spatial.KDTree
    assert kestrum.BallTree is kestrum.spatial.BallTree
    assert kestrum.Generator is kestrum.random.Generator
    assert not hasattr(kestrum, "VPTree")
    assert not hasattr(kestrum, "PanicException")


def test_import_twice_gives_same_module():
    import importlib

    assert importlib.import_module("kestrum") is kestrum


@pytest.mark.parametrize(
    "func, sig",
    [
        (kestrum.zeros, "(shape)"),
        (kestrum.full, "(shape, fill_value)"),
        (kestrum.asarray, "(data, shape=None)"),
        (kestrum.eye, "(n, m=None, k=None)"),
        (kestrum.diag, "(v, k=None)"),
        (kestrum.column_stack, "(arrays)"),
        (kestrum.Array.asarray, "(data, shape=None)"),
        (kestrum.Array.clip, "($self, min, max)"),
        (kestrum.Array.to_pylist_recursive, "($self, dim, offset)"),
        (kestrum.Array.outer, "(a, b)"),
        (kestrum.linalg.eig_with_params, "(a, max_iter=1000, tol=1e-10)"),
        (kestrum.stats.std, "(a)"),
        (kestrum.random.seed, "(seed)"),
        (kestrum.random.new, "()"),
        (kestrum.Array, "(shape, data)"),
        (kestrum.Generator, "()"),
    ],
)
def test_text_signatures(func, sig):
    assert func.__text_signature__ == sig


@pytest.mark.parametrize(
    "obj",
    [kestrum, kestrum.linalg, kestrum.stats, kestrum.random, kestrum.spatial, kestrum.PyArrayIter,
     kestrum.KDTree, kestrum.BallTree, kestrum.spatial.VPTree],
    ids=lambda o: o.__name__,
)
def test_docstring_names_pages_that_exist(obj):
    pages = re.findall(r"docs/[\w/]+\.md", obj.__doc__ or "")
    assert pages, obj.__doc__
    missing = [p for p in pages if not (ROOT / p).is_file()]
    assert not missing


@pytest.mark.parametrize("cls", [kestrum.Array, kestrum.Generator])
def test_class_documentation_is_only_its_text_signature(cls):
    assert cls.__doc__ == ""


def test_panic_exception_is_base_exception_only():
    if PanicException.__name__ != "PanicException":
        pytest.skip("constructors not built")
    with pytest.raises(BaseException) as info:
        try:
            kestrum.zeros([2**62])
        except Exception:  # must not catch a panic
            pytest.fail("PanicException was caught by 'except Exception'")
    assert type(info.value) is PanicException
    assert PanicException.__bases__ == (BaseException,)
    assert str(info.value) == "capacity overflow"


@pytest.mark.parametrize("shape", [[2**32, 2**32], [2**63, 2, 1], [3, 2**62, 7]])
def test_shape_whose_count_overflows_is_rejected(shape):
    with pytest.raises(ValueError, match=r"^shape \[.*\] is too large: its element count does not fit in 64 bits$"):
        kestrum.Array(shape, [])
    with pytest.raises(ValueError, match="too large"):
        kestrum.asarray([], shape)


def test_shape_with_zero_dimension_is_empty_whatever_the_rest():
    assert kestrum.Array([2**63, 0, 2**63], []).shape == [2**63, 0, 2**63]


def test_only_init_symbol_exported():
    import shutil
    import subprocess

    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not available")
    out = subprocess.run([nm, "-D", "--defined-only", kestrum.__file__], capture_output=True, text=True, check=True)
    names = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert names == ["PyInit_kestrum"]


# ---- Array construction, repr, shape, len --------------------------------------------------

def test_array_basics():
    a = kestrum.Array([2, 3], [1, 2, 3, 4, 5, 6])
    assert a.shape == [2, 3]
    assert len(a) == 6
    assert repr(a) == "Array(shape=[2, 3], data=[1.0, 2.0, 3.0, 4.0, 5.0, 6.0])"
    assert str(a) == repr(a)
    s = a.shape
    s.append(9)
    assert a.shape == [2, 3]


@pytest.mark.parametrize(
    "shape, data, text, length",
    [
        ([], [5], "Array(shape=[], data=[5.0])", 1),
        ([0], [], "Array(shape=[0], data=[])", 0),
        ([3, 0], [], "Array(shape=[3, 0], data=[])", 0),
        ((3,), (1, True, 2.5), "Array(shape=[3], data=[1.0, 1.0, 2.5])", 3),
        (range(1, 2), b"\x07", "Array(shape=[1], data=[7.0])", 1),
    ],
)
def test_array_shapes(shape, data, text, length):
    a = kestrum.Array(shape, data)
    assert repr(a) == text
    assert len(a) == length
    assert bool(a) == (length > 0)


@pytest.mark.parametrize(
    "x, text",
    [
        (1e16, "1e16"), (9999999999999998.0, "9999999999999998.0"), (0.0001, "0.0001"), (0.00001, "1e-5"),
        (-0.0, "-0.0"), (math.nan, "NaN"), (math.inf, "inf"), (-math.inf, "-inf"), (1.5e16, "1.5e16"),
        (2.5e-7, "2.5e-7"), (0.30000000000000004, "0.30000000000000004"), (123456789.0, "123456789.0"),
        (-2.25, "-2.25"), (5e-324, "5e-324"), (1.7976931348623157e308, "1.7976931348623157e308"),
        (1e-4 * 0.999999, "9.99999e-5"),
    ],
)
def test_repr_elements(x, text):
    assert repr(kestrum.Array([1], [x])) == f"Array(shape=[1], data=[{text}])"


def test_repr_round_trips_random_bits():
    import random

    rng = random.Random(7)
    values = [struct.unpack("d", struct.pack("Q", rng.getrandbits(64)))[0] for _ in range(2000)]
    values = [v for v in values if math.isfinite(v)]
    text = repr(kestrum.Array([len(values)], values))
    parts = text[text.index("data=[") + 6:-2].split(", ")
    for v, p in zip(values, parts):
        assert float(p) == v
        assert ("e" in p) == ("e" in repr(v))


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        (([2, 2], [1, 2, 3]), {}, ValueError, "Data length 3 doesn't match shape [2, 2] (expected 4)"),
        (([2, 3], [1, 2, 3, 4, 5]), {}, ValueError, "Data length 5 doesn't match shape [2, 3] (expected 6)"),
        (([], []), {}, ValueError, "Data length 0 doesn't match shape [] (expected 1)"),
        (("ab", [1.0]), {}, TypeError, "argument 'shape': Can't extract `str` to `Vec`"),
        ((3, [1.0]), {}, TypeError, "argument 'shape': 'int' object cannot be cast as 'Sequence'"),
        (([1], {1.0: 2}), {}, TypeError, "argument 'data': 'dict' object cannot be cast as 'Sequence'"),
        (([1.5], [1.0]), {}, TypeError, "argument 'shape': 'float' object cannot be interpreted as an integer"),
        (([2],), {}, TypeError, "Array.__new__() missing 1 required positional argument: 'data'"),
        ((), {}, TypeError, "Array.__new__() missing 2 required positional arguments: 'shape' and 'data'"),
        (([1], [1], 3), {}, TypeError, "Array.__new__() takes 2 positional arguments but 3 were given"),
        (([1],), {"data": [1], "x": 1}, TypeError, "Array.__new__() got an unexpected keyword argument 'x'"),
        (([1], [1]), {"shape": [1]}, TypeError, "Array.__new__() got multiple values for argument 'shape'"),
    ],
)
def test_constructor_errors(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        kestrum.Array(*args, **kwargs)
    assert str(info.value) == message


def test_constructor_conversion_errors_pass_unprefixed():
    with pytest.raises(OverflowError) as info:
        kestrum.Array([-1], [])
    assert not str(info.value).startswith("argument")
    with pytest.raises(TypeError) as info:
        kestrum.Array([2], [[1], [2]])
    assert str(info.value).startswith("argument 'data': ")


@pytest.mark.parametrize(
    "fn, args, name, value",
    [
        (kestrum.zeros, (), "shape", [2]),
        (kestrum.Array.full, ([2],), "fill_value", 1.5),
        (kestrum.linalg.eig_with_params, (kestrum.Array([2, 2], [2, 1, 1, 3]),), "max_iter", 50),
    ],
)
def test_keyword_names_made_at_run_time_bind(fn, args, name, value):
    key = "".join(list(name))  # equal text, another object than the interned name (not one letter: cached)
    assert key is not name
    assert repr(fn(*args, **{key: value})) == repr(fn(*args, value))
    with pytest.raises(TypeError, match=f"got multiple values for argument '{name}'$"):
        fn(*args, value, **{key: value})


def test_keywords_and_index_objects():
    class Idx:
        def __index__(self):
            return 2

    class F:
        def __float__(self):
            return 1.25

    a = kestrum.Array(data=[F(), 2], shape=[Idx()])
    assert repr(a) == "Array(shape=[2], data=[1.25, 2.0])"


def test_class_flags():
    a = kestrum.Array([1], [1])
    with pytest.raises(TypeError):
        class Sub(kestrum.Array):
            pass
    with pytest.raises(AttributeError):
        a.foo = 1
    import weakref

    with pytest.raises(TypeError):
        weakref.ref(a)
    assert a != kestrum.Array([1], [1])
    assert a == a


# ---- asarray ---------------------------------------------------------------------------------

@pytest.mark.parametrize("fn", [kestrum.asarray, kestrum.Array.asarray])
def test_asarray(fn):
    assert repr(fn([1, 2, 3])) == "Array(shape=[3], data=[1.0, 2.0, 3.0])"
    assert fn([1, 2, 3, 4], [2, 2]).shape == [2, 2]
    m = kestrum.Array([2, 2], [1, 2, 3, 4])
    flat = fn(m)
    assert flat.shape == [4] and repr(flat) == "Array(shape=[4], data=[1.0, 2.0, 3.0, 4.0])"
    assert fn(m, shape=[4, 1]).shape == [4, 1]
    assert fn(m, None).shape == [4]
    assert fn([]).shape == [0]
    with pytest.raises(ValueError, match=r"^Data length 3 doesn't match shape \[2\] \(expected 2\)$"):
        fn([1, 2, 3], [2])


def test_asarray_messages():
    with pytest.raises(TypeError) as info:
        kestrum.asarray("abc")
    assert str(info.value) == (
        "argument 'data': failed to extract enum VecOrArray ('Array | Vec')\n"
        "- variant Array (Array): TypeError: failed to extract field VecOrArray::Array.0, caused by TypeError: "
        "'str' object cannot be cast as 'Array'\n"
        "- variant Vec (Vec): TypeError: failed to extract field VecOrArray::Vec.0, caused by TypeError: "
        "Can't extract `str` to `Vec`"
    )
    with pytest.raises(TypeError) as info:
        kestrum.asarray(5.0)
    assert str(info.value).endswith("'float' object cannot be cast as 'Sequence'")
    with pytest.raises(TypeError, match=r"^asarray\(\) missing 1 required positional argument: 'data'$"):
        kestrum.asarray()
    with pytest.raises(TypeError, match=r"^Array\.asarray\(\) takes from 1 to 2 positional arguments but 3 were given$"):
        kestrum.Array.asarray([1], [1], 3)
