"""Python code that runs inside a call (a __float__, __index__ or __iter__ of an argument) and
reaches the very Array or Generator being used: the call gives its result or RuntimeError, and
the object is never left half-written or corrupt."""
import gc

import numpy as np
import pytest

import kestrum
from kestrum import linalg, random, spatial, stats


class Hook:
    """Converts to 0.5 (as a float) or 1 (as an index) after running `action`."""

    def __init__(self, action):
        self.action = action
        self.error = None

    def run(self):
        try:
            self.action()
        except RuntimeError as e:
            self.error = e
            raise

    def __float__(self):
        self.run()
        return 0.5

    def __index__(self):
        self.run()
        return 1


class HookSequence:
    """A sequence whose iteration runs a Hook's action first."""

    def __init__(self, hook, items):
        self.hook, self.items = hook, items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        self.hook.run()
        return iter(self.items)


def fresh():
    return kestrum.Array([2, 2], [1.0, 2.0, 3.0, 4.0])


def vec():
    return kestrum.Array([3], [1.0, 2.0, 3.0])


READS = {
    "repr": repr,
    "list": list,
    "item": lambda a: a[0],
    "tolist": lambda a: a.tolist(),
    "add": lambda a: a + 1.0,
    "matmul": lambda a: a @ a,
    "take": lambda a: a.take([0]),
    "contains": lambda a: 1.0 in a,
}
WRITES = {
    "setitem": lambda a: a.__setitem__(0, 9.0),
    "setitem_tuple": lambda a: a.__setitem__((0,), 9.0),
}


@pytest.mark.parametrize("touch", {**READS, **WRITES}.values(), ids=list({**READS, **WRITES}))
def test_value_conversion_of_an_assignment_cannot_reach_the_array(touch):
    a = vec()
    hook = Hook(lambda: touch(a))
    with pytest.raises(RuntimeError):
        a[1] = hook
    assert hook.error is not None
    assert list(a) == [1.0, 2.0, 3.0]
    a[1] = 7.0  # the borrow was released
    assert list(a) == [1.0, 7.0, 3.0]


MATRIX_WRITES = {
    "setitem_tuple": lambda a: a.__setitem__((0, 0), 9.0),
    "setitem_int": lambda a: a.__setitem__(0, 9.0),
}


@pytest.mark.parametrize("touch", MATRIX_WRITES.values(), ids=list(MATRIX_WRITES))
@pytest.mark.parametrize(
    "call",
    [
        lambda a, h: a.clip(h, 10.0),
        lambda a, h: a.get([h, 0]),
        lambda a, h: a.take([h]),
        lambda a, h: a[h, 0],
        lambda a, h: h in a,
        lambda a, h: a.to_pylist_recursive(h, 0),
        lambda a, h: a.diagonal(h),
        lambda a, h: linalg.diagonal(a, h),
        lambda a, h: a.get(HookSequence(h, [0, 0])),
        lambda a, h: linalg.eig_with_params(a, h, 1e-10),
        lambda a, h: linalg.eig_with_params(a, 5, h),
    ],
    ids=["clip", "get", "take", "tuple_read", "contains", "to_pylist", "diagonal", "linalg_diagonal",
         "get_iter", "eig_max_iter", "eig_tol"],
)
def test_writing_an_array_while_it_is_read_is_refused(call, touch):
    a = fresh()
    hook = Hook(lambda: touch(a))
    with pytest.raises(RuntimeError):
        call(a, hook)
    assert hook.error is not None, "the write inside the read was not refused"
    assert list(a) == [1.0, 2.0, 3.0, 4.0]


@pytest.mark.parametrize("touch", READS.values(), ids=list(READS))
def test_reading_an_array_while_it_is_read_is_allowed(touch):
    a = fresh()
    seen = []
    assert a.clip(Hook(lambda: seen.append(touch(a))), 3.5).tolist() == [[1.0, 2.0], [3.0, 3.5]]
    assert len(seen) == 1


def test_arithmetic_with_a_written_operand_is_not_supported():
    a, b = vec(), vec()
    outcomes = []

    def add_both():
        for expr in (lambda: b + a, lambda: a + b, lambda: 2.0 * a, lambda: a @ b, lambda: -a):
            try:
                expr()
                outcomes.append("ok")
            except RuntimeError:
                outcomes.append("busy")

    a[0] = Hook(add_both)
    assert outcomes == ["busy"] * 5
    assert list(a) == [0.5, 2.0, 3.0]


def test_a_forward_operator_whose_scalar_writes_the_array_answers_not_implemented():
    a = vec()
    with pytest.raises(TypeError):
        a + Hook(lambda: a.__setitem__(0, 9.0))
    with pytest.raises(TypeError):
        Hook(lambda: a.__setitem__(0, 9.0)) - a
    assert list(a) == [1.0, 2.0, 3.0]


def test_converting_a_list_that_shrinks_or_grows_while_it_is_read():
    items = [1.0, 2.0, 3.0, 4.0]
    items[1] = Hook(lambda: items.clear())
    with pytest.raises(ValueError, match="Data length 2 doesn't match shape"):
        kestrum.Array([4], items)
    items = [1.0, 2.0]
    items[1] = Hook(lambda: items.append(5.0) if len(items) < 4 else None)
    assert list(kestrum.asarray(items)) == [1.0, 0.5, 5.0]


SAMPLERS = {
    "uniform": lambda g, h: g.uniform(h, 1.0, [3]),
    "randint": lambda g, h: g.randint(h, 10, [3]),
    "normal": lambda g, h: g.normal(0.0, h, [3]),
    "lognormal": lambda g, h: g.lognormal(h, 1.0, [3]),
    "gamma": lambda g, h: g.gamma(h, 1.0, [3]),
    "beta": lambda g, h: g.beta(1.0, h, [3]),
    "shape_item": lambda g, h: g.standard_normal([h]),
    "shape_iter": lambda g, h: g.standard_normal(HookSequence(h, [2])),
}


@pytest.mark.parametrize("sampler", SAMPLERS.values(), ids=list(SAMPLERS))
def test_a_generator_cannot_be_used_while_its_arguments_are_converted(sampler):
    g, twin = random.seed(7), random.seed(7)
    hook = Hook(lambda: g.uniform(0.0, 1.0, [1]))
    with pytest.raises(RuntimeError):
        sampler(g, hook)
    assert hook.error is not None
    # Nothing was drawn: the generator continues exactly like an untouched twin.
    assert list(g.uniform(0.0, 1.0, [4])) == list(twin.uniform(0.0, 1.0, [4]))


def test_another_generator_may_be_used_inside_a_conversion():
    g, other = random.seed(3), random.seed(4)
    drawn = []
    out = g.uniform(Hook(lambda: drawn.append(other.uniform(0.0, 1.0, [2]))), 1.0, [2])
    assert len(out) == 2 and len(drawn) == 1
    assert list(out) == list(random.seed(3).uniform(0.5, 1.0, [2]))


def test_iterators_outlive_and_ignore_their_array():
    a = vec()
    it, it2 = iter(a), iter(a)
    a[0] = 9.0
    assert next(it) == 1.0
    del a
    gc.collect()
    assert list(it) == [2.0, 3.0] and list(it2) == [1.0, 2.0, 3.0]
    with pytest.raises(StopIteration):
        next(it)
    b = vec()
    for x in b:  # writing during a for loop over the same array is fine: the iterator holds a copy
        b[0] = b[0] + x
    assert list(b) == [7.0, 2.0, 3.0]


SAME_TWICE = {
    "add": (lambda a: a + a, lambda x: x + x),
    "sub": (lambda a: a - a, lambda x: x - x),
    "mul": (lambda a: a * a, lambda x: x * x),
    "div": (lambda a: a / a, lambda x: x / x),
    "matmul_op": (lambda a: a @ a, lambda x: x @ x),
    "dot": (lambda a: a.dot(a), lambda x: x @ x),
    "linalg_matmul": (lambda a: linalg.matmul(a, a), lambda x: x @ x),
    "outer": (lambda a: linalg.outer(a.take([0, 1]), a.take([0, 1])), lambda x: np.outer(x.ravel()[:2], x.ravel()[:2])),
    "column_stack": (lambda a: kestrum.column_stack([a, a]), lambda x: np.column_stack([x, x])),
    "asarray": (lambda a: kestrum.asarray(a, shape=a.shape), lambda x: x),
    "construct": (lambda a: kestrum.Array(a.shape, a), lambda x: x),
}


@pytest.mark.parametrize("ops", SAME_TWICE.values(), ids=list(SAME_TWICE))
def test_the_same_array_may_be_passed_twice(ops):
    ours, reference = ops
    a = kestrum.Array([2, 2], [1.0, -2.0, 3.5, 4.0])
    expected = reference(np.array(list(a)).reshape(2, 2))
    assert np.array_equal(np.array(ours(a).tolist()), expected)
    assert list(a) == [1.0, -2.0, 3.5, 4.0]


def test_statistics_of_the_same_array_twice():
    a = kestrum.Array([4], [1.0, 3.0, 2.0, 5.0])
    assert stats.pearson(a, a) == pytest.approx(1.0)
    assert stats.spearman(a, a) == pytest.approx(1.0)
    q = kestrum.Array([2], [0.0, 1.0])
    assert list(q.quantile(q)) == [0.0, 1.0]
    # q is a union conversion: the refused write becomes the reason of its TypeError.
    with pytest.raises(TypeError, match="caused by RuntimeError: Already borrowed"):
        stats.quantile(a, Hook(lambda: a.__setitem__(0, 9.0)))
    assert list(a) == [1.0, 3.0, 2.0, 5.0]


@pytest.mark.parametrize("cls", ["KDTree", "BallTree", "VPTree"])
def test_trees_answer_queries_whose_conversion_queries_the_same_tree(cls):
    pts = kestrum.Array([4, 2], [0.0, 0.0, 1.0, 0.0, 0.0, 1.0, 5.0, 5.0])
    tree = getattr(spatial, cls).from_array(pts)
    inner = []
    hook = Hook(lambda: inner.append(tree.query_knn([5.0, 5.0], 1)))
    assert tree.query_knn([hook, 0.0], 1) == [0]
    assert inner == [[3]]
    # The source array may change after the build: the tree keeps its own copy.
    pts[3, 0] = 0.1
    assert tree.query_knn([5.0, 5.0], 1) == [3]
    with pytest.raises(RuntimeError):
        pts[0, 0] = Hook(lambda: getattr(spatial, cls).from_array(pts))
    assert pts[0, 0] == 0.0
