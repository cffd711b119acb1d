"""Conversions: nested lists, iteration and the NumPy bridge in both directions."""
import math
import subprocess
import sys

import pytest

import kestrum
from support import PanicException, bits
from helpers_array import arange, flat

np = pytest.importorskip("numpy")

A = kestrum.Array


@pytest.mark.parametrize(
    "shape, expected",
    [
        ([2, 2], [[1.0, 2.0], [3.0, 4.0]]),
        ([4], [1.0, 2.0, 3.0, 4.0]),
        ([], 1.0),
        ([2, 0], [[], []]),
        ([0, 3], []),
        ([1, 2, 2], [[[1.0, 2.0], [3.0, 4.0]]]),
        ([2, 1, 2], [[[1.0, 2.0]], [[3.0, 4.0]]]),
    ],
)
def test_tolist(shape, expected):
    a = arange(shape)
    out = a.tolist()
    assert out == expected
    if shape:
        assert a.to_pylist_recursive(0, 0) == expected


def test_tolist_types_and_values():
    out = A([], [7]).tolist()
    assert out == 7.0 and type(out) is float
    assert bits(A([2], [-0.0, math.nan]).tolist()) == bits([-0.0, math.nan])
    nested = A([2, 2], [1, 2, 3, 4]).tolist()
    nested[0][0] = 99.0
    assert A([2, 2], [1, 2, 3, 4]).tolist()[0][0] == 1.0


def test_to_pylist_recursive():
    a = A([2, 3], [0, 1, 2, 3, 4, 5])
    assert a.to_pylist_recursive(1, 3) == [3.0, 4.0, 5.0]
    assert a.to_pylist_recursive(dim=1, offset=1) == [1.0, 2.0, 3.0]
    b = A([2, 2], [1, 2, 3, 4])
    assert b.to_pylist_recursive(1, 2) == [3.0, 4.0]
    assert A([2, 0], []).to_pylist_recursive(1, 10**9) == []
    assert A([2, 0], []).to_pylist_recursive(0, 10**9) == [[], []]


@pytest.mark.parametrize(
    "shape, dim, offset, msg",
    [
        ([2, 2], 2, 0, "called `Option::unwrap()` on a `None` value"),
        ([], 0, 0, "called `Option::unwrap()` on a `None` value"),
        ([2, 2], 1, 3, "index out of bounds: the len is 4 but the index is 4"),
        ([2, 2], 0, 1, "index out of bounds: the len is 4 but the index is 4"),
        ([2, 2], 0, 9, "index out of bounds: the len is 4 but the index is 9"),
        ([0, 2**60], 1, 0, "index out of bounds: the len is 0 but the index is 0"),
    ],
)
def test_to_pylist_recursive_panics(shape, dim, offset, msg):
    a = A(shape, []) if 0 in shape else arange(shape)
    with pytest.raises(PanicException) as info:
        a.to_pylist_recursive(dim, offset)
    assert str(info.value) == msg


def test_to_pylist_recursive_argument_errors():
    a = A([2], [1, 2])
    with pytest.raises(OverflowError):
        a.to_pylist_recursive(-1, 0)
    with pytest.raises(TypeError, match="^argument 'offset': "):
        a.to_pylist_recursive(0, 0.5)
    with pytest.raises(PanicException):
        a.to_pylist_recursive(0, 2**64 - 1)


def test_iteration_is_over_flat_elements():
    m = A([2, 3], [0, 1, 2, 3, 4, 5])
    items = list(iter(m))
    assert items == [0.0, 1.0, 2.0, 3.0, 4.0, 5.0] and all(type(x) is float for x in items)
    assert list(A([], [3.0])) == [3.0]
    assert list(A([0, 3], [])) == []
    assert sum(1 for _ in m) == len(m)


def test_iterator_protocol_and_exhaustion():
    it = iter(A([2], [1.0, 2.0]))
    assert type(it) is kestrum.PyArrayIter
    assert iter(it) is it
    assert next(it) == 1.0 and next(it) == 2.0
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)
    with pytest.raises(TypeError):
        kestrum.PyArrayIter()


def test_iterator_owns_a_copy():
    a = A([2], [1.0, 2.0])
    it = iter(a)
    a[0] = 9.0
    del a
    assert list(it) == [1.0, 2.0]


def test_to_numpy():
    a = A([2, 3], [0, 1, 2, 3, 4, 5])
    n = a.to_numpy()
    assert type(n) is np.ndarray and n.shape == (2, 3) and n.dtype == np.float64
    assert n.flags.c_contiguous and n.flags.writeable
    assert n.tolist() == a.tolist()
    n[0, 0] = 42.0
    assert flat(a)[0] == 0.0
    a[1, 1] = -1.0
    assert n[1, 1] == 4.0
    z = A([], [5.0]).to_numpy()
    assert z.shape == () and float(z) == 5.0
    e = A([0, 3], []).to_numpy()
    assert e.shape == (0, 3) and e.dtype == np.float64
    assert bits(A([2], [-0.0, math.nan]).to_numpy().tolist()) == bits([-0.0, math.nan])


def test_to_numpy_memory_outlives_array():
    n = arange([100, 10]).to_numpy()
    base = n
    while base.base is not None and isinstance(base.base, np.ndarray):
        base = base.base
    assert base.base is not None  # owned by a container the array keeps alive
    import gc

    gc.collect()
    assert n[99, 9] == 1000.0


@pytest.mark.parametrize(
    "make",
    [
        lambda: np.arange(6.0).reshape(2, 3),
        lambda: np.asfortranarray(np.arange(6.0).reshape(2, 3)),
        lambda: np.asfortranarray(np.arange(24.0).reshape(2, 3, 4)),
        lambda: np.arange(24.0).reshape(2, 3, 4).transpose(2, 1, 0),
        lambda: np.array(3.5),
        lambda: np.zeros((0, 4)),
        lambda: np.arange(5.0)[::1],
        lambda: np.arange(6.0).reshape(6, 1)[:, 0],
    ],
)
def test_from_numpy_copies_in_c_order(make):
    arr = make()
    a = A.from_numpy(arr)
    assert a.shape == list(arr.shape)
    assert flat(a) == arr.ravel(order="C").tolist()
    if arr.size:
        arr.flat[0] = 100.0
        assert flat(a)[0] != 100.0


def test_from_numpy_round_trip_and_readonly():
    a = A([2, 2], [1, -0.0, math.inf, math.nan])
    b = A.from_numpy(a.to_numpy())
    assert b.shape == [2, 2] and bits(b) == bits(a)
    ro = np.arange(3.0)
    ro.setflags(write=False)
    assert flat(A.from_numpy(arr=ro)) == [0.0, 1.0, 2.0]


@pytest.mark.parametrize(
    "obj",
    [
        np.arange(3),
        np.arange(3, dtype=np.float32),
        np.array([1.0, None], dtype=object),
        np.arange(3.0).astype(">f8"),
        [1.0, 2.0],
        A([1], [1.0]),
        3.0,
    ],
)
def test_from_numpy_rejects_other_objects_and_dtypes(obj):
    with pytest.raises(TypeError, match="^argument 'arr': "):
        A.from_numpy(obj)


@pytest.mark.parametrize("view", [np.arange(12.0).reshape(3, 4)[:, ::2], np.arange(10.0)[::2]])
def test_from_numpy_rejects_non_contiguous(view):
    with pytest.raises(TypeError) as info:
        A.from_numpy(view)
    assert str(info.value) == "The given array is not contiguous"


def test_numpy_missing_fails_only_the_bridge():
    code = """
import sys
sys.modules['numpy'] = None
import kestrum
a = kestrum.Array([2], [1.0, 2.0])
assert (a + a).tolist() == [2.0, 4.0] and list(a) == [1.0, 2.0]
for call in (a.to_numpy, lambda: kestrum.Array.from_numpy([1.0])):
    try:
        call()
    except BaseException as e:
        assert type(e).__name__ == 'PanicException', type(e)
        assert str(e).startswith('Failed to access NumPy array API capsule'), str(e)
    else:
        raise AssertionError('no failure')
print('ok')
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ok"
