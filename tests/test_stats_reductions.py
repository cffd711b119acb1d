"""Reductions: sequential sums from -0.0, mean, variance, all and any, and their errors."""
import math

import pytest

import kestrum
from kestrum import Array, stats
import stats_reference as ref
from stats_reference import NAN, same, same_value

SIZES = [0, 1, 2, 3, 63, 64, 65, 255, 256, 257, 1000, 4099]


def arr(xs, shape=None):
    return Array([len(xs)] if shape is None else shape, xs)


@pytest.mark.parametrize("n", SIZES)
@pytest.mark.parametrize("kind", ["plain", "zeros", "nans"])
def test_float_reductions_match_sequential_reference(n, kind):
    xs = ref.mixed_data(n, seed=n, zeros=0.3 if kind == "zeros" else 0.0, nans=0.01 if kind == "nans" else 0.0)
    a = arr(xs)
    for name, expected in [("sum", ref.seq_sum(xs)), ("mean", ref.mean(xs)), ("var", ref.var(xs)),
                           ("std", ref.std(xs))]:
        assert same_value(getattr(stats, name)(a), expected), name
        assert same_value(getattr(a, name)(), expected), name


def test_summation_is_sequential_not_pairwise():
    # Pairwise or compensated summation would keep the 1.0 terms.
    xs = [1e16] + [1.0] * 100 + [-1e16]
    assert stats.sum(arr(xs)) == 0.0
    assert arr(xs).mean() == 0.0


def test_zero_sum_starts_from_negative_zero():
    assert same(stats.sum(arr([-0.0, -0.0])), -0.0)
    assert same(stats.sum(arr([0.0, -0.0])), 0.0)
    assert same(arr([]).sum(), -0.0)


def test_empty_results():
    e = Array([0], [])
    assert same(stats.sum(e), -0.0)
    for name in ("mean", "var", "std"):
        assert math.isnan(getattr(stats, name)(e))
        assert math.isnan(getattr(e, name)())
    assert stats.all(e) is True and e.all() is True
    assert stats.any(e) is False and e.any() is False
    assert math.isnan(stats.mean(Array([3, 0], [])))


def test_known_values_and_shape_independence():
    a = Array([2, 2], [1, 2, 3, 4])
    assert a.sum() == 10.0 and a.mean() == 2.5
    assert stats.var(a) == 1.25 and stats.std(a) == math.sqrt(1.25)
    m = Array([2, 3], [1, 2, 3, 4, 5, 6])
    assert stats.sum(m) == 21.0 and stats.mean(m) == 3.5
    scalar = Array([], [7.0])
    assert scalar.sum() == 7.0 and scalar.mean() == 7.0 and scalar.var() == 0.0 and scalar.all() is True


def test_infinities_propagate():
    assert stats.sum(arr([1.0, math.inf])) == math.inf
    assert math.isnan(stats.sum(arr([math.inf, -math.inf])))
    assert math.isnan(stats.var(arr([1.0, math.inf])))


@pytest.mark.parametrize(
    "xs, all_, any_",
    [
        ([1, -0.0, 3], False, True),
        ([NAN, 1], True, True),
        ([0, NAN], False, True),
        ([0, -0.0], False, False),
        ([-0.0], False, False),
        ([NAN], True, True),
        ([5e-324], True, True),
    ],
)
def test_all_any_zero_tests(xs, all_, any_):
    a = arr(xs)
    assert stats.all(a) is all_ and a.all() is all_
    assert stats.any(a) is any_ and a.any() is any_


@pytest.mark.parametrize("n", [1, 63, 64, 65, 130, 1000])
@pytest.mark.parametrize("where", ["first", "middle", "last"])
def test_all_any_find_a_single_element_anywhere(n, where):
    pos = {"first": 0, "middle": n // 2, "last": n - 1}[where]
    ones = [1.0] * n
    ones[pos] = -0.0
    assert stats.all(arr(ones)) is False
    zeros = [0.0] * n
    zeros[pos] = NAN
    assert stats.any(arr(zeros)) is True
    assert stats.all(arr([2.0] * n)) is True and stats.any(arr([-0.0] * n)) is False


@pytest.mark.parametrize("name", ["sum", "mean", "var", "std", "all", "any", "median"])
def test_argument_errors(name):
    f = getattr(stats, name)
    for bad, tname in [([1, 2, 3], "list"), (1.0, "float")]:
        with pytest.raises(TypeError, match=rf"^argument 'a': '{tname}' object cannot be cast as 'Array'$"):
            f(bad)
    with pytest.raises(TypeError, match=rf"^{name}\(\) missing 1 required positional argument: 'a'$"):
        f()
    a = arr([1.0, 2.0])
    with pytest.raises(TypeError, match=rf"^Array\.{name}\(\) got an unexpected keyword argument 'axis'$"):
        getattr(a, name)(axis=0)
    with pytest.raises(TypeError, match=rf"^Array\.{name}\(\) takes 0 positional arguments but 1 was given$"):
        getattr(a, name)(0)
    assert f.__text_signature__ == "(a)"
    assert getattr(Array, name).__text_signature__ == "($self)"


def test_registration_order():
    names = [n for n in vars(stats) if not n.startswith("_")]
    assert names[:10] == ["sum", "mean", "var", "std", "median", "quantile", "any", "all", "pearson", "spearman"]
    assert stats.quantile.__text_signature__ == "(a, q)"
    assert Array.quantile.__text_signature__ == "($self, q)"
    assert stats.pearson.__text_signature__ == "(a, b)" and stats.spearman.__text_signature__ == "(a, b)"
    assert not hasattr(Array, "pearson")


def test_input_is_not_modified():
    xs = [3.0, -0.0, 1.0, 2.0, 0.0]
    a = arr(xs)
    a.median(), a.quantile(0.3), stats.spearman(a, a), a.var()
    assert repr(a) == repr(arr(xs))
