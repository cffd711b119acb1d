"""Indexing: element reads and writes, slices of the flat storage, get, take and membership."""
import math

import pytest

import kestrum
from support import PanicException, bits
from helpers_array import arange, flat

A = kestrum.Array


@pytest.fixture
def m():
    return A([2, 3], [0, 1, 2, 3, 4, 5])


@pytest.fixture
def v():
    return A([3], [1, 2, 3])


def test_integer_reads(v, m):
    assert v[-1] == 3.0 and type(v[0]) is float
    assert v[True] == 2.0
    row = m[1]
    assert row.shape == [3] and flat(row) == [3.0, 4.0, 5.0]
    assert flat(m[-2]) == [0.0, 1.0, 2.0]
    assert m[1, -1] == 5.0 and type(m[1, -1]) is float
    assert flat(m[(1,)]) == flat(m[1]) and m[(1,)].shape == [3]
    whole = m[()]
    assert whole is not m and whole.shape == [2, 3] and flat(whole) == flat(m)
    c = arange([2, 3, 4], 0.0)
    assert c[1].shape == [3, 4] and flat(c[1]) == [12.0 + i for i in range(12)]
    assert c[1, 2].shape == [4] and flat(c[1, 2]) == [20.0, 21.0, 22.0, 23.0]
    assert A([3, 0], [])[1].shape == [0]


@pytest.mark.parametrize(
    "key, msg",
    [
        (-4, "index -4 is out of bounds for axis 0 with size 3"),
        (3, "index 3 is out of bounds for axis 0 with size 3"),
        (-(2**63), "index -9223372036854775808 is out of bounds for axis 0 with size 3"),
        ((5,), "index 5 is out of bounds for axis 0 with size 3"),
        ((-4,), "index -4 is out of bounds for axis 0 with size 3"),
        ((0, 0), "too many indices for array: array is 1-dimensional, but 2 were indexed"),
        (1.0, "indices must be integers, slices, or tuples of integers"),
        ([0, 1], "indices must be integers, slices, or tuples of integers"),
        (None, "indices must be integers, slices, or tuples of integers"),
        (2**63, "indices must be integers, slices, or tuples of integers"),
        ("0", "indices must be integers, slices, or tuples of integers"),
        (Ellipsis, "indices must be integers, slices, or tuples of integers"),
    ],
)
def test_read_errors_vector(v, key, msg):
    with pytest.raises(ValueError) as info:
        v[key]
    assert str(info.value) == msg


@pytest.mark.parametrize(
    "key, msg",
    [
        ((0, 0, 0), "too many indices for array: array is 2-dimensional, but 3 were indexed"),
        ((0, 5), "index 5 is out of bounds for axis 1 with size 3"),
        ((2, 0), "index 2 is out of bounds for axis 0 with size 2"),
        ((1, -4), "index -4 is out of bounds for axis 1 with size 3"),
    ],
)
def test_read_errors_matrix(m, key, msg):
    with pytest.raises(ValueError) as info:
        m[key]
    assert str(info.value) == msg


@pytest.mark.parametrize("key, exc", [((0, slice(1, 2)), TypeError), ((0.0, 1), TypeError), ((0, 2**64), OverflowError)])
def test_tuple_items_raise_their_conversion_error(m, key, exc):
    with pytest.raises(exc):
        m[key]


def test_tuple_items_checked_in_order(m):
    # The first item is out of range before the second fails to convert.
    with pytest.raises(ValueError, match="axis 0"):
        m[5, "x"]
    with pytest.raises(TypeError):
        m[1, "x"]


class Index:
    def __init__(self, i):
        self.i = i

    def __index__(self):
        return self.i


def test_index_protocol_keys(m):
    assert m[Index(1), Index(-1)] == 5.0
    assert flat(m[Index(0)]) == [0.0, 1.0, 2.0]


@pytest.mark.parametrize(
    "key, expected",
    [
        (slice(0, 4), [0, 1, 2, 3]),
        (slice(None, None, -1), [5, 4, 3, 2, 1, 0]),
        (slice(10, None), []),
        (slice(1, 5), [1, 2, 3, 4]),
        (slice(None, None, -2), [5, 3, 1]),
        (slice(-2, None), [4, 5]),
        (slice(-100, 100, 2), [0, 2, 4]),
        (slice(4, 1, -1), [4, 3, 2]),
        (slice(1, 1), []),
        (slice(None, None, 2**63 - 1), [0]),
        (slice(None, None, -(2**63)), [5]),
    ],
)
def test_slices_address_flat_storage(m, key, expected):
    out = m[key]
    assert out.shape == [len(expected)] and flat(out) == [float(x) for x in expected]


def test_slice_errors_and_zero_dimensional(m):
    with pytest.raises(ValueError):
        m[::0]
    z = A([], [7.0])
    assert z[()] == 7.0 and type(z[()]) is float
    assert flat(z[:]) == [7.0]
    with pytest.raises(PanicException) as info:
        z[0]
    assert str(info.value) == "index out of bounds: the len is 0 but the index is 0"
    with pytest.raises(PanicException):
        z[-5]
    with pytest.raises(ValueError, match="too many indices for array: array is 0-dimensional, but 1 were indexed"):
        z[0,]


def test_writes(m, v):
    m[1, 2] = 5
    assert flat(m) == [0, 1, 2, 3, 4, 5.0]
    m[-1, 0] = -0.0
    assert bits(m) == bits([0, 1, 2, -0.0, 4, 5])
    v[-1] = 9.5
    v[Index(0)] = True
    assert flat(v) == [1.0, 2.0, 9.5]
    z = A([], [1.0])
    z[()] = 2.0
    assert flat(z) == [2.0]


@pytest.mark.parametrize(
    "target, key, msg",
    [
        ("m", 1, "single index assignment only supported for 1D arrays; use tuple indexing for nD arrays"),
        ("z", 0, "single index assignment only supported for 1D arrays; use tuple indexing for nD arrays"),
        ("v", slice(0, 2), "indices must be integers or tuples of integers for assignment"),
        ("v", 1.0, "indices must be integers or tuples of integers for assignment"),
        ("v", [0], "indices must be integers or tuples of integers for assignment"),
        ("v", 2**63, "indices must be integers or tuples of integers for assignment"),
        ("m", (0, 0, 0), "cannot set item: expected 2 indices, got 3"),
        ("m", (1,), "cannot set item: expected 2 indices, got 1"),
        ("z", (0,), "cannot set item: expected 0 indices, got 1"),
        ("m", (0, 3), "index 3 is out of bounds for axis 1 with size 3"),
        ("m", (-3, 0), "index -3 is out of bounds for axis 0 with size 2"),
        ("v", 3, "index 3 is out of bounds for axis 0 with size 3"),
        ("v", -4, "index -4 is out of bounds for axis 0 with size 3"),
    ],
)
def test_write_errors_leave_array_unchanged(m, v, target, key, msg):
    arr = {"m": m, "v": v, "z": A([], [1.0])}[target]
    before = flat(arr)
    with pytest.raises(ValueError) as info:
        arr[key] = 1.0
    assert str(info.value) == msg
    assert flat(arr) == before


def test_value_converted_before_key(m, v):
    with pytest.raises(TypeError, match="^argument 'value': "):
        m[1] = "x"
    with pytest.raises(TypeError, match="^argument 'value': "):
        v[0:2] = A([2], [1, 2])
    with pytest.raises(TypeError, match="^argument 'value': "):
        v[99] = [1.0]
    with pytest.raises(TypeError):
        m[0, slice(1, 2)] = 1.0
    assert flat(m) == [0, 1, 2, 3, 4, 5]


def test_delete_is_refused(v):
    for key in (0, (0,), slice(None), "x"):
        with pytest.raises(NotImplementedError, match="^can't delete item$"):
            del v[key]
    assert flat(v) == [1, 2, 3]


class ReadsArray:
    """A value whose conversion reads the array being assigned to."""

    def __init__(self, arr):
        self.arr = arr

    def __float__(self):
        return self.arr[0] + 100.0


class WritesArray:
    def __init__(self, arr):
        self.arr = arr

    def __float__(self):
        self.arr[0] = 42.0
        return 1.0


@pytest.mark.parametrize("kind", [ReadsArray, WritesArray])
def test_reentrant_value_conversion_is_refused(v, kind):
    with pytest.raises(RuntimeError):
        v[1] = kind(v)
    assert flat(v) == [1.0, 2.0, 3.0]
    # Once the failed assignment is over the array is usable again.
    v[1] = 7.0
    assert flat(v) == [1.0, 7.0, 3.0]


def test_reentrant_key_conversion_is_refused(m):
    class Key:
        def __index__(self):
            m[0, 0] = 99.0
            return 0

    with pytest.raises(RuntimeError):
        m[Key(), 0]
    with pytest.raises(RuntimeError):
        m[Key(), 1] = 5.0
    assert flat(m) == [0, 1, 2, 3, 4, 5]


def test_get(m):
    assert m.get([1, 2]) == 5.0 and type(m.get([1, 2])) is float
    assert m.get(indices=(0, 1)) == 1.0
    assert A([], [4.0]).get([]) == 4.0
    for bad in ([1], [2, 0], [0, 3], [0, 0, 0], []):
        with pytest.raises(ValueError) as info:
            m.get(bad)
        assert str(info.value) == "Index out of bounds"
    with pytest.raises(OverflowError):
        m.get([-1, 0])
    with pytest.raises(TypeError, match="^argument 'indices': "):
        m.get([0.5, 0])
    with pytest.raises(TypeError, match="^argument 'indices': Can't extract `str` to `Vec`$"):
        m.get("01")
    with pytest.raises(TypeError, match="^argument 'indices': 'int' object cannot be cast as 'Sequence'$"):
        m.get(1)


def test_take(m):
    t = m.take([5, 0, 5])
    assert t.shape == [3] and flat(t) == [5.0, 0.0, 5.0]
    assert m.take([]).shape == [0]
    assert flat(A([], [3.0]).take([0, 0])) == [3.0, 3.0]
    with pytest.raises(PanicException) as info:
        m.take([0, 6])
    assert str(info.value) == "index out of bounds: the len is 6 but the index is 6"
    with pytest.raises(PanicException, match="^index out of bounds: the len is 0 but the index is 0$"):
        A([0], []).take([0])
    with pytest.raises(OverflowError):
        m.take([-1])


def test_contains():
    a = A([3], [-0.0, math.nan, 2.5])
    assert 0.0 in a and -0.0 in A([1], [0.0])
    assert 2.5 in a and 2 not in a
    assert True not in a and 1 not in a
    assert math.nan not in a
    assert 0.0 not in A([0], [])
    with pytest.raises(TypeError, match="^argument 'value': "):
        "x" in a
    with pytest.raises(TypeError, match="^argument 'value': "):
        a in a


def test_sequence_protocol_without_length_rewrite():
    import ctypes

    check = ctypes.pythonapi.PySequence_Check
    check.argtypes, check.restype = [ctypes.py_object], ctypes.c_int
    get = ctypes.pythonapi.PySequence_GetItem
    get.argtypes, get.restype = [ctypes.py_object, ctypes.c_ssize_t], ctypes.py_object
    m = A([2, 3], [0, 1, 2, 3, 4, 5])
    assert check(m) == 1
    # A negative index reaches the item slot unchanged (no length slot rewrites it by the
    # element count), so it counts rows from the end like a subscript.
    assert flat(get(m, -1)) == [3.0, 4.0, 5.0]
    assert get(A([3], [1, 2, 3]), -3) == 1.0
    with pytest.raises(ValueError, match="^index 2 is out of bounds for axis 0 with size 2$"):
        get(m, 2)
    assert A([6], m).shape == [6]  # an Array is accepted as a sequence of floats
