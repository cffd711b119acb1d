"""Properties against independent oracles on random shapes (0-sized and zero-dimensional
included) and random data (NaN, infinities, -0.0 and subnormals included): NumPy for the
element-wise arithmetic it computes identically, the math module (the same C library) for
element functions, and plain sequential Python for sums, products and order statistics."""
import math

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

import kestrum
from support import PanicException, bits
from kestrum import linalg, spatial, stats
from reliability_values import arrays, finite, floats

PROPS = settings(max_examples=60, derandomize=True, deadline=None, suppress_health_check=[HealthCheck.too_slow])
small_shapes = st.lists(st.integers(0, 4), max_size=3)


def as_numpy(a):
    return np.array(list(a), dtype=np.float64).reshape(a.shape)


def same_bits(xs, ys):
    return [bits(float(x)) for x in xs] == [bits(float(y)) for y in ys]


def broadcastable(sa, sb):
    try:
        np.broadcast_shapes(tuple(sa), tuple(sb))
        return True
    except ValueError:
        return False


OPS = {"add": (lambda x, y: x + y), "sub": (lambda x, y: x - y), "mul": (lambda x, y: x * y),
       "div": (lambda x, y: x / y)}


@pytest.mark.parametrize("op", OPS.values(), ids=list(OPS))
@PROPS
@given(a=arrays(small_shapes), b=arrays(small_shapes), s=floats)
def test_arithmetic_matches_numpy_bit_for_bit(op, a, b, s):
    with np.errstate(all="ignore"):
        if broadcastable(a.shape, b.shape):
            out, ref = op(a, b), op(as_numpy(a), as_numpy(b))
            assert out.shape == list(ref.shape) and same_bits(list(out), ref.ravel())
        else:
            with pytest.raises(PanicException, match="Shapes are not broadcast-compatible"):
                op(a, b)
        assert same_bits(list(op(a, s)), op(as_numpy(a), np.float64(s)).ravel())
        assert same_bits(list(op(s, a)), op(np.float64(s), as_numpy(a)).ravel())


def _sign(x):
    return 1.0 if x > 0 else (-1.0 if x < 0 else 0.0)


def _libm(f):
    def safe(x):
        try:
            return f(x)
        except ValueError:
            return math.nan
        except OverflowError:
            return math.inf
    return safe


ELEMENT = {"abs": abs, "sign": _sign, "sqrt": _libm(math.sqrt), "exp": _libm(math.exp), "log": None,
           "sin": _libm(math.sin), "cos": _libm(math.cos), "tan": _libm(math.tan), "arcsin": _libm(math.asin),
           "arccos": _libm(math.acos), "arctan": math.atan}


def _log(x):
    if x == 0:
        return -math.inf
    if x < 0 or math.isnan(x):
        return math.nan
    return math.log(x)


@pytest.mark.parametrize("name", ELEMENT)
@PROPS
@given(a=arrays(small_shapes))
def test_element_functions_match_the_c_library(name, a):
    f = ELEMENT[name] or _log
    out = getattr(a, name)()
    assert out.shape == a.shape
    expected = [f(x) for x in a]
    if name == "sqrt":  # the math module refuses -0.0's sign; IEEE keeps it
        expected = [x if x == 0 else e for x, e in zip(a, expected)]
    assert same_bits(list(out), expected)


@PROPS
@given(a=arrays(small_shapes), lo=floats, hi=floats)
def test_clip_follows_its_two_comparisons(a, lo, hi):
    expected = [lo if lo > x else (hi if x > hi else x) for x in a]
    assert same_bits(list(a.clip(lo, hi)), expected)


def seq_sum(values, start=-0.0):
    s = start
    for v in values:
        s = s + v
    return s


@PROPS
@given(a=st.integers(0, 4), k=st.integers(0, 4), c=st.integers(0, 4), data=st.data())
def test_matmul_is_the_sequential_sum_of_rounded_products(a, k, c, data):
    x = data.draw(arrays([a, k]))
    y = data.draw(arrays([k, c]))
    out = linalg.matmul(x, y)
    X, Y = as_numpy(x), as_numpy(y)
    expected = [seq_sum(float(X[i, t]) * float(Y[t, j]) for t in range(k)) for i in range(a) for j in range(c)]
    assert out.shape == [a, c] and same_bits(list(out), expected)


@PROPS
@given(a=arrays(small_shapes), indices=st.lists(st.integers(0, 70), max_size=5))
def test_flat_reads_match_numpy(a, indices):
    ref = as_numpy(a).ravel()
    for key in (slice(None, None, -1), slice(1, None, 2), slice(-3, None)):
        assert same_bits(list(a[key]), ref[key])
    if all(i < ref.size for i in indices):
        assert same_bits(list(a.take(indices)), ref[indices])
    else:
        with pytest.raises(PanicException, match="index out of bounds"):
            a.take(indices)


@PROPS
@given(a=arrays(small_shapes))
def test_reductions_are_sequential(a):
    xs = list(a)
    n = len(xs)
    assert same_bits([stats.sum(a), a.sum()], [seq_sum(xs)] * 2)
    if n:
        m = seq_sum(xs) / n
        assert same_bits([stats.mean(a)], [m])
        assert same_bits([stats.var(a)], [seq_sum((x - m) * (x - m) for x in xs) / n])
    else:
        assert math.isnan(stats.mean(a)) and math.isnan(stats.var(a))
    assert stats.all(a) == all(x != 0 for x in xs) and stats.any(a) == any(x != 0 for x in xs)


@PROPS
@given(a=arrays(small_shapes, elements=st.one_of(finite, st.sampled_from([-0.0, 0.0, math.inf, -math.inf]))),
       q=st.floats(0, 1))
def test_order_statistics_match_a_sorted_copy(a, q):
    xs = sorted(a)
    n = len(xs)
    if n == 0:
        assert math.isnan(stats.median(a)) and math.isnan(stats.quantile(a, q))
        return
    med = xs[n // 2] if n % 2 else (xs[n // 2 - 1] + xs[n // 2]) * 0.5
    assert stats.median(a) == med or (math.isnan(med) and math.isnan(stats.median(a)))
    pos = q * (n - 1)
    lo, hi = math.floor(pos), math.ceil(pos)
    frac = pos - lo
    expected = xs[lo] if lo == hi else frac * xs[hi] + (1 - frac) * xs[lo]
    got = stats.quantile(a, q)
    assert got == expected or (math.isnan(got) and math.isnan(expected))


@PROPS
@given(a=arrays(st.lists(st.integers(0, 6), min_size=1, max_size=1)), q=st.one_of(floats, st.floats(0, 1)))
def test_order_statistics_with_nan_return_a_value_or_the_specified_panic(a, q):
    # Where NaN lands is left open; the result is still one of the elements (or NaN), never a crash.
    try:
        got = stats.quantile(a, q)
    except PanicException as e:
        assert str(e) == "Quantile must be between 0 and 1" and not (0 <= q <= 1)
        return
    assert 0 <= q <= 1
    assert math.isnan(got) or min(a) <= got <= max(a) or any(math.isnan(x) for x in a) or not len(a)
    assert isinstance(stats.median(a), float) and isinstance(stats.spearman(a, a), float)


coords = st.one_of(st.integers(-3, 3).map(float), finite)


def _distance(metric, p, q):
    diffs = [abs(x - y) for x, y in zip(p, q)]
    if metric == "euclidean":
        return math.sqrt(seq_sum((d * d for d in diffs), 0.0))
    if metric == "manhattan":
        return seq_sum(diffs, 0.0)
    return max(diffs, default=0.0)


@pytest.mark.parametrize("cls", ["KDTree", "BallTree", "VPTree"])
@pytest.mark.parametrize("metric", ["euclidean", "manhattan", "chebyshev"])
@settings(max_examples=25, derandomize=True, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(n=st.integers(1, 30), dim=st.integers(1, 3), leaf=st.integers(3, 8), k=st.integers(0, 35),
       radius=st.floats(0, 6), data=st.data())
def test_neighbour_queries_match_brute_force(cls, metric, n, dim, leaf, k, radius, data):
    pts = data.draw(st.lists(st.lists(coords, min_size=dim, max_size=dim), min_size=n, max_size=n))
    query = data.draw(st.lists(coords, min_size=dim, max_size=dim))
    tree = getattr(spatial, cls).from_array(kestrum.Array([n, dim], [x for p in pts for x in p]), leaf_size=leaf,
                                            metric=metric)
    dist = [_distance(metric, query, p) for p in pts]
    got = tree.query_knn(query, k)
    assert len(got) == min(k, n) and len(set(got)) == len(got)
    if got:
        # The k nearest: no point left out is strictly nearer than the farthest one returned.
        worst = max(dist[i] for i in got)
        assert all(dist[i] >= worst * (1 - 1e-12) for i in range(n) if i not in got)
        order = [dist[i] for i in got]
        assert all(x <= y * (1 + 1e-12) + 1e-300 for x, y in zip(order, order[1:])), "not nearest first"
    inside = tree.query_radius(query, radius)
    assert sorted(inside) == sorted(set(inside))
    assert {i for i in range(n) if dist[i] < radius * (1 - 1e-12)} <= set(inside)
    assert set(inside) <= {i for i in range(n) if dist[i] <= radius * (1 + 1e-12)}
    density = tree.kernel_density(query, 1.5, "gaussian")
    expected = sum(math.exp((d / 1.5) * -0.5 * (d / 1.5)) for d in dist)
    # Nodes whose every contribution is below 1e-10 are skipped by contract.
    assert density == pytest.approx(expected, rel=1e-9, abs=n * 1e-10)
