"""Searches and density sums over coordinates up to the largest finite float, against brute force.

Distances are computed as the metric defines them: a Euclidean sum of squares (or a Manhattan sum)
beyond the largest float is inf, as brute force computes it too. Results must equal brute force
over those distances: the k nearest distances as a sorted list (points at equal distances, inf
included, may be chosen either way) and the radius result as a set."""
import math

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from spatial_reference import METRICS, TREES, build, distance, kernel

BIG = 1.7976931348623157e308
coordinate = st.one_of(
    st.sampled_from([0.0, 1.0, -2.5, 1e-300, 1e150, -1.3e154, 2e154, 1e300, -1e300, 1.9e300, BIG, -BIG]),
    st.floats(-BIG, BIG, allow_nan=False, allow_infinity=False),
)


def points_of(dim, lo, hi):
    return st.lists(st.lists(coordinate, min_size=dim, max_size=dim), min_size=lo, max_size=hi)


@pytest.mark.parametrize("kind", list(TREES))
@pytest.mark.parametrize("metric", METRICS)
@settings(max_examples=40, derandomize=True, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_searches_match_brute_force(kind, metric, data):
    dim = data.draw(st.integers(1, 3))
    points = data.draw(points_of(dim, 1, 40))
    tree = build(kind, points, data.draw(st.sampled_from([1, 3, 8])) if kind != "vp" else 3, metric)
    for q in data.draw(points_of(dim, 1, 4)) + points[:1]:
        d = [distance(metric, q, p) for p in points]
        for k in (1, 3):
            assert sorted(d[i] for i in tree.query_knn(q, k)) == sorted(d)[:k]
        for r in sorted(set(d))[:4] + [math.inf]:
            assert sorted(tree.query_radius(q, r)) == [i for i, v in enumerate(d) if v <= r]


def test_manhattan_kd_tree_from_the_report():
    pts = [[0.0, 0.0], [1e300, 0.0], [0.0, 1e300], [2e300, 2e300]]
    tree = build("kd", pts, 1, "manhattan")
    assert tree.query_knn([1.9e300, 1.9e300], 1) == [3]
    assert sorted(tree.query_radius([0.0, 0.0], 1e300)) == [0, 1, 2]


@pytest.mark.parametrize("kind", list(TREES))
@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("a, b", [(1e300, 8e307), (1e154, 5e153)])
def test_density_bounds_do_not_overflow(kind, metric, a, b):
    # Point distances stay finite where the squares or sums behind the bounds of boxes, balls
    # and rings would overflow.
    pts = [[x, y] for x in (-a, 0.0, a) for y in (-b, b)]
    tree = build(kind, pts, 1 if kind != "vp" else 3, metric)
    for q in ([1.2 * a, 0.9 * b], [a, 0.9 * a], [0.0, 0.0], [-3 * a, 0.1 * b]):
        d = [distance(metric, q, p) for p in pts]
        for h in (0.5 * a, 2.5 * a, min(BIG, 1e8 * a)):
            for kern in ("uniform", "epanechnikov"):
                expected = 0.0
                for v in d:
                    expected += kernel(kern, v / h)
                assert tree.kernel_density(q, h, kern) == pytest.approx(expected, rel=1e-12, abs=0.0)
            if max(d) < h * 1e-3:
                # every node's nearest and farthest distance lies within the bandwidth
                assert tree.kernel_density_approx(q, h, "uniform", "min_samples", 1) == 0.5 * len(pts)
