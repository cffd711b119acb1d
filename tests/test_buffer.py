"""Array exports its own storage through the buffer protocol: read-only, C-contiguous float64, shared
with the array (no copy), valid for as long as any view lives, and seeing later item assignments."""
import ctypes
import gc
import math
import struct

import numpy as np
import pytest

import kestrum

PyBUF_WRITABLE = 0x0001
PyBUF_F_CONTIGUOUS = 0x0040 | 0x0010 | 0x0008


def get_buffer(obj, flags):
    """PyObject_GetBuffer with explicit flags (released again at once)."""
    view = ctypes.create_string_buffer(256)  # larger than any Py_buffer
    ctypes.pythonapi.PyObject_GetBuffer(ctypes.py_object(obj), view, flags)
    ctypes.pythonapi.PyBuffer_Release(view)


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
