"""Resource limits: storage that cannot exist is refused (capacity overflow, ValueError or
MemoryError) without an abort; shapes with huge dimensions but no elements, and arrays with very
many dimensions, finish quickly; tree builds keep their recursion bounded."""
import pytest

import kestrum
from support import PanicException
from kestrum import linalg, random, spatial, stats

REFUSED = (PanicException, ValueError, MemoryError)
HUGE = 2**61  # 2**61 float64 elements need 2**64 bytes: no allocation can be attempted

IMPOSSIBLE_SHAPES = [[HUGE], [2**62, 2], [2**63, 2**63], [3, 2**64 - 1], [2**32, 2**32]]
MAKERS = {
    "zeros": kestrum.zeros,
    "ones": kestrum.ones,
    "full": lambda s: kestrum.full(s, 2.0),
    "uniform": lambda s: random.seed(0).uniform(0.0, 1.0, s),
    "randint": lambda s: random.seed(0).randint(0, 5, s),
    "standard_normal": lambda s: random.seed(0).standard_normal(s),
    "lognormal": lambda s: random.seed(0).lognormal(0.0, 1.0, s),
    "gamma": lambda s: random.seed(0).gamma(0.5, 1.0, s),
    "beta": lambda s: random.seed(0).beta(2.0, 3.0, s),
    "Array": lambda s: kestrum.Array(s, []),
    "asarray": lambda s: kestrum.asarray([], shape=s),
}


@pytest.mark.parametrize("shape", IMPOSSIBLE_SHAPES, ids=str)
@pytest.mark.parametrize("make", MAKERS.values(), ids=list(MAKERS))
def test_impossible_storage_is_refused(make, shape):
    with pytest.raises(REFUSED) as info:
        make(shape)
    if isinstance(info.value, PanicException):
        assert str(info.value) == "capacity overflow"


@pytest.mark.parametrize(
    "make",
    [lambda: kestrum.zeros([2**42]), lambda: kestrum.ones([2**42]), lambda: kestrum.eye(2**21),
     lambda: kestrum.diag([1.0], k=2**21), lambda: random.seed(1).uniform(0.0, 1.0, [2**42])],
    ids=["zeros", "ones", "eye", "diag", "uniform"],
)
def test_storage_larger_than_memory_is_a_memory_error(make):
    # 32 TiB: a valid element count that no allocator on this class of machine can satisfy.
    with pytest.raises((MemoryError, PanicException)):
        make()


@pytest.mark.parametrize("k", [2**62, -(2**63), 2**63 - 1])
def test_diagonal_offsets_at_the_edge_of_the_integer_range(k):
    with pytest.raises(REFUSED):
        kestrum.diag([1.0, 2.0], k=k)
    assert kestrum.eye(2, k=k).tolist() == [[0.0, 0.0], [0.0, 0.0]]
    assert linalg.diagonal(kestrum.ones([2, 3]), k=k).shape == [0]


# Shapes that hold no elements, whatever the size of their other dimensions.
GIANT_EMPTY = [[HUGE, 0], [0, HUGE], [2**63, 0, 2**63], [2**64 - 1, 0]]
QUICK = {
    "column_stack": lambda e: kestrum.column_stack([e, e]),
    "tolist": lambda e: e.tolist(),
    "to_pylist_recursive_far": lambda e: e.to_pylist_recursive(0, HUGE),
    "transpose": lambda e: e.t() if len(e.shape) == 2 else e,
    "qr": lambda e: linalg.qr(e) if len(e.shape) == 2 else e,
    "add": lambda e: e + e,
    "neg_abs_clip": lambda e: e.abs().clip(0.0, 1.0),
    "matmul": lambda e: e @ e.t() if len(e.shape) == 2 else e,
    "slice_iter_take": lambda e: (e[::-1], list(e), e.take([])),
    "row": lambda e: e[HUGE - 1] if e.shape[0] >= HUGE else e[()],
    "repr": repr,
    "to_numpy": lambda e: e.to_numpy(),
    "diagonal": lambda e: linalg.diagonal(e, 5) if len(e.shape) == 2 else e,
}


@pytest.mark.parametrize("shape", GIANT_EMPTY, ids=str)
@pytest.mark.parametrize("op", QUICK.values(), ids=list(QUICK))
def test_empty_arrays_with_giant_dimensions_finish_at_once(op, shape):
    e = kestrum.Array(shape, [])
    try:
        op(e)
    except REFUSED:
        pass
    assert list(e) == []


def test_qr_of_an_empty_wide_matrix():
    q, r = linalg.qr(kestrum.Array([0, HUGE], []))
    assert q.shape == [0, 0] and r.shape == [0, HUGE]


@pytest.mark.parametrize("ndim", [1000, 100_000])
def test_arrays_with_very_many_dimensions(ndim):
    a = kestrum.full([1] * ndim, 3.0)
    nested = a.tolist()
    for _ in range(ndim):
        assert len(nested) == 1
        nested = nested[0]
    assert nested == 3.0
    assert a.to_pylist_recursive(ndim - 1, 0) == [3.0]
    assert list(a + a) == [6.0] and (a * 2.0)[(0,) * ndim] == 6.0
    assert len(kestrum.zeros([1] * (ndim - 1) + [0]).tolist()) == 1


def test_order_statistics_of_empty_giant_arrays():
    e = kestrum.Array([HUGE, 0], [])
    assert stats.sum(e) == 0.0
    for value in (stats.mean(e), stats.median(e), stats.quantile(e, 0.5)):
        assert value != value


TREES = ["KDTree", "BallTree", "VPTree"]


@pytest.mark.parametrize("cls", TREES)
def test_tree_builds_on_degenerate_inputs_stay_shallow(cls):
    import numpy as np

    tree_cls = getattr(spatial, cls)
    n = 10**6
    same = kestrum.Array.from_numpy(np.full((n, 1), 7.0))
    tree = tree_cls.from_array(same)
    assert len(tree.query_knn([7.0], 3)) == 3
    ramp = kestrum.Array.from_numpy(np.arange(200_000, dtype=np.float64).reshape(-1, 2))
    tree = tree_cls.from_array(ramp, leaf_size=3)
    assert tree.query_knn([10.0, 11.0], 1) == [5]


@pytest.mark.parametrize("cls", TREES)
@pytest.mark.parametrize("leaf_size", [0, 1, 2])
def test_tiny_leaf_sizes_build_or_are_refused(cls, leaf_size):
    pts = kestrum.Array([5, 1], [0.0, 1.0, 2.0, 3.0, 4.0])
    try:
        tree = getattr(spatial, cls).from_array(pts, leaf_size=leaf_size)
    except REFUSED:
        return
    assert sorted(tree.query_knn([2.0], 5)) == [0, 1, 2, 3, 4]
