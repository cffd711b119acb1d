"""Array exports its own storage through the buffer protocol: read-only, C-contiguous float64, shared
with the array (no copy), valid for as long as any view lives, and seeing later item assignments."""
import ctypes
import gc
import math
import struct

import numpy as np
import pytest

import kestrum

PyBUF_WRITABLE, PyBUF_FORMAT, PyBUF_ND, PyBUF_STRIDES = 0x0001, 0x0004, 0x0008, 0x0018
PyBUF_F_CONTIGUOUS = 0x0040 | PyBUF_STRIDES
PyBUF_FULL_RO = PyBUF_STRIDES | 0x0100 | PyBUF_FORMAT


class PyBuffer(ctypes.Structure):
    _fields_ = [("buf", ctypes.c_void_p), ("obj", ctypes.c_void_p), ("len", ctypes.c_ssize_t),
                ("itemsize", ctypes.c_ssize_t), ("readonly", ctypes.c_int), ("ndim", ctypes.c_int),
                ("format", ctypes.c_char_p), ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
                ("strides", ctypes.POINTER(ctypes.c_ssize_t)), ("suboffsets", ctypes.c_void_p),
                ("internal", ctypes.c_void_p)]


def get_buffer(obj, flags):
    """PyObject_GetBuffer with explicit flags: (format, itemsize, ndim, shape, strides), released at once."""
    view = PyBuffer()
    ctypes.pythonapi.PyObject_GetBuffer(ctypes.py_object(obj), ctypes.byref(view), flags)
    try:
        dims = lambda p: None if not p else tuple(p[i] for i in range(view.ndim))  # noqa: E731
        return view.format, view.itemsize, view.ndim, dims(view.shape), dims(view.strides)
    finally:
        ctypes.pythonapi.PyBuffer_Release(ctypes.byref(view))


@pytest.mark.parametrize("shape", [[2, 3], [5], [], [0], [3, 0, 2], [2, 1, 4]])
def test_view_describes_the_storage(shape):
    data = [float(i) - 2.5 for i in range(math.prod(shape))]
    a = kestrum.Array(shape, data)
    m = memoryview(a)
    assert (m.format, m.itemsize, m.shape, m.readonly, m.c_contiguous) == ("d", 8, tuple(shape), True, True)
    assert m.strides == tuple(8 * math.prod(shape[i + 1:]) for i in range(len(shape)))
    assert m.tobytes() == struct.pack(f"{len(data)}d", *data)
    n = np.asarray(a)
    assert n.shape == tuple(shape) and n.dtype == np.float64 and not n.flags.writeable
    assert n.tolist() == a.tolist()


def test_memory_is_shared_and_writes_through_the_array_are_visible():
    a = kestrum.Array([2, 2], [1, 2, 3, 4])
    n = np.asarray(a)
    assert np.shares_memory(n, np.frombuffer(a)) and n.base is not None
    a[1, 0] = -0.0
    assert math.copysign(1, n[1, 0]) == -1 and memoryview(a)[1, 0] == 0.0


def test_views_outlive_the_array():
    a = kestrum.Array([3], [7, 8, 9])
    m, n = memoryview(a), np.asarray(a)
    del a
    gc.collect()
    assert m.tolist() == [7.0, 8.0, 9.0] and n.sum() == 24.0
    m.release()
    assert n.tolist() == [7.0, 8.0, 9.0]


@pytest.mark.parametrize(
    "shape, flags, message",
    [
        ([3], PyBUF_WRITABLE, "read-only"),
        ([2, 3], PyBUF_F_CONTIGUOUS, "C-contiguous"),
    ],
)
def test_refused_requests(shape, flags, message):
    a = kestrum.Array(shape, [0.0] * math.prod(shape))
    with pytest.raises(BufferError, match=message):
        get_buffer(a, flags)


@pytest.mark.parametrize("flags, expected", [
    (0, (None, 1, 1, None, None)),  # plain bytes
    (PyBUF_FORMAT, (b"d", 8, 1, None, None)),
    (PyBUF_ND, (None, 8, 2, (2, 3), None)),
    (PyBUF_FULL_RO, (b"d", 8, 2, (2, 3), (24, 8))),
])
def test_each_request_gets_a_consistent_view(flags, expected):
    assert get_buffer(kestrum.Array([2, 3], [0.0] * 6), flags) == expected


def test_fortran_request_granted_where_the_orders_agree():
    get_buffer(kestrum.Array([1, 3], [1, 2, 3]), PyBUF_F_CONTIGUOUS)


def test_exports_leave_the_array_unchanged_in_every_other_way():
    a = kestrum.Array([2], [1, 2])
    with memoryview(a):
        a[0] = 5.0
        assert a.tolist() == [5.0, 2.0]
    with pytest.raises(TypeError, match="cannot be cast as 'Array'"):
        kestrum.linalg.dot(np.asarray(a), a)
    n = np.asarray(a)
    assert not np.shares_memory(kestrum.Array.from_numpy(n).to_numpy(), n)
