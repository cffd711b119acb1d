"""Exact and approximate kernel density sums of the three trees."""
import math

import pytest

import kestrum
from support import PanicException
from kestrum import spatial
from spatial_reference import (KERNELS, METRICS, TREES, build, distance, kernel, random_points,
                                    storage_order, to_array)

KINDS = list(TREES) + ["vp-random"]


def storage_sum(points, order, q, metric, kname, h):
    s = 0.0
    for i in order:
        s += kernel(kname, distance(metric, q, points[i]) / h)
    return s


def elements(a):
    """Elements of a 1-D Array, read back from its repr (shortest round-trip text)."""
    text = repr(a)
    body = text[text.index("data=[") + 6:-2]
    return [float(x.replace("NaN", "nan")) for x in body.split(", ")] if body else []


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("kname", KERNELS)
def test_wide_bandwidth_sums_every_point_in_storage_order(kind, metric, kname):
    points = random_points(70, 3, seed=21)
    tree = build(kind, points, 4, metric)
    order = storage_order(tree, 3)
    queries = random_points(5, 3, seed=5)
    flat = kestrum.Array([5, 3], [x for q in queries for x in q])
    got = tree.kernel_density(flat, 100.0, kname)
    assert got.shape == [5]
    expected = [storage_sum(points, order, q, metric, kname, 100.0) for q in queries]
    assert elements(got) == expected


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("h", [100.0, 0.01])
def test_gaussian_leaf_longer_than_one_exp_run_sums_in_storage_order(kind, h):
    # One 150-point leaf: its exponentials are taken in several runs, and at the narrow bandwidth
    # most terms underflow and are handed to the scalar call inside the run.
    points = random_points(150, 3, seed=8)
    tree = build(kind, points, 200)
    order = storage_order(tree, 3)
    for q in (points[17], [0.1, -0.2, 0.3]):
        assert tree.kernel_density(q, h) == storage_sum(points, order, q, "euclidean", "gaussian", h)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("metric", METRICS)
def test_uniform_kernel_is_exact_at_any_bandwidth(kind, metric):
    # Skipped nodes hold only points at u >= 1, whose uniform contribution is exactly zero.
    points = random_points(120, 2, seed=4)
    tree = build(kind, points, 3, metric)
    order = storage_order(tree, 2)
    for q in random_points(8, 2, seed=9):
        for h in (0.05, 0.3, 1.0):
            assert tree.kernel_density(q, h, "uniform") == storage_sum(points, order, q, metric, "uniform", h)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("kname", KERNELS)
def test_narrow_bandwidth_drops_only_negligible_terms(kind, metric, kname):
    points = random_points(150, 2, seed=6)
    tree = build(kind, points, 5, metric)
    for q in random_points(6, 2, seed=1):
        brute = sum(kernel(kname, distance(metric, q, p) / 0.2) for p in points)
        assert abs(tree.kernel_density(q, 0.2, kname) - brute) <= 150 * 1e-10 + 1e-12 * brute


@pytest.mark.parametrize("kind", KINDS)
def test_queries_default_to_the_stored_points_in_storage_order(kind):
    points = random_points(40, 2, seed=3)
    tree = build(kind, points, 3)
    order = storage_order(tree, 2)
    got = elements(tree.kernel_density(None, 50.0))
    assert got == [storage_sum(points, order, points[i], "euclidean", "gaussian", 50.0) for i in order]


# ---- kernel values --------------------------------------------------------------------------------

@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("kname, u, value", [
    ("gaussian", 0.0, 1.0),
    ("gaussian", 6.0, math.exp(-18.0)),
    ("gaussian", 7.0, 0.0),  # below 1e-10: skipped
    ("uniform", 1.0, 0.0),
    ("uniform", 0.5, 0.5),
    ("epanechnikov", 0.5, 0.5625),
    ("epanechnikov", 1.0, 0.0),
    ("triangular", 0.25, 0.75),
    ("triangular", 1.0, 0.0),
])
def test_one_point_kernel_values(kind, kname, u, value):
    tree = build(kind, [[0.0, 0.0]], 20)
    assert tree.kernel_density([3.0 * u, 4.0 * u], 5.0, kname) == value


def test_one_point_tree_evaluates_itself_without_normalisation():
    for cls in (spatial.KDTree, spatial.BallTree, spatial.VPTree):
        assert cls.from_array(kestrum.Array([1, 2], [0.3, -2.0])).kernel_density() == 1.0


@pytest.mark.parametrize("kind", KINDS)
def test_empty_tree_densities_are_zero(kind):
    tree = build(kind, [], 20, dim=2)
    assert tree.kernel_density([0.0, 0.0]) == 0.0
    assert tree.kernel_density_approx([0.0, 0.0], criterion="min_samples", min_samples=0) == 0.0
    empty = tree.kernel_density()
    assert isinstance(empty, kestrum.Array) and empty.shape == [0]


# ---- approximation --------------------------------------------------------------------------------

def root_extremes(kind, points, q):
    """(Dmin, Dmax) of the root for query q, Euclidean metric."""
    dim = len(points[0])
    if kind == "kd":
        lo = [min(p[d] for p in points) for d in range(dim)]
        hi = [max(p[d] for p in points) for d in range(dim)]
        near = [min(max(q[d], lo[d]), hi[d]) for d in range(dim)]
        far = [lo[d] if abs(q[d] - lo[d]) > abs(q[d] - hi[d]) else hi[d] for d in range(dim)]
        return distance("euclidean", q, near), distance("euclidean", q, far)
    if kind == "ball":
        c = [0.0] * dim
        for p in points:
            for d in range(dim):
                c[d] += p[d]
        c = [x / len(points) for x in c]
        r = max(distance("euclidean", p, c) for p in points)
        d = distance("euclidean", q, c)
        return max(d - r, 0.0), d + r
    r = max(distance("euclidean", p, points[0]) for p in points[1:])
    d = distance("euclidean", q, points[0])
    return max(d - r, 0.0), d + r


@pytest.mark.parametrize("kind", ["kd", "ball", "vp"])
@pytest.mark.parametrize("kname", KERNELS)
def test_min_samples_zero_replaces_the_root(kind, kname):
    points = random_points(50, 2, seed=12)
    tree = build(kind, points, 4)
    q = [0.2, -0.1]
    dmin, dmax = root_extremes(kind, points, q)
    expected = (kernel(kname, dmin / 3.0) + kernel(kname, dmax / 3.0)) * 0.5 * 50
    assert tree.kernel_density_approx(q, 3.0, kname, "min_samples", 0) == expected


@pytest.mark.parametrize("kind", ["kd", "ball", "vp"])
def test_skipped_root_is_zero_even_when_approximated(kind):
    tree = build(kind, random_points(50, 2, seed=12), 4)
    assert tree.kernel_density_approx([100.0, 100.0], 1.0, "gaussian", "min_samples", 0) == 0.0


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("criterion, min_samples, max_span", [
    ("min_samples", 10**9, None),
    ("combined", 10**9, 1e300),
    ("combined", 0, -1.0),
    ("none", 0, 0.0),  # unused parameters are ignored
])
def test_criteria_that_never_approximate_match_the_exact_sum(kind, criterion, min_samples, max_span):
    points = random_points(60, 2, seed=14)
    tree = build(kind, points, 3)
    for q in random_points(4, 2, seed=15):
        exact = tree.kernel_density(q, 0.4, "epanechnikov")
        assert tree.kernel_density_approx(q, 0.4, "epanechnikov", criterion, min_samples, max_span) == exact


def test_max_span_zero_approximates_only_identical_points_in_a_kd_tree():
    distinct = random_points(64, 2, seed=16)
    tree = build("kd", distinct, 2)
    q = [0.1, 0.1]
    assert tree.kernel_density_approx(q, 0.5, "gaussian", "max_span", max_span=0.0) == tree.kernel_density(q, 0.5)
    same = build("kd", [[0.25, 0.5]] * 64, 2)
    k = kernel("gaussian", distance("euclidean", q, [0.25, 0.5]) / 0.5)
    assert same.kernel_density_approx(q, 0.5, "gaussian", "max_span", max_span=0.0) == (k + k) * 0.5 * 64


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("criterion", ["max_span", "combined"])
def test_approximating_narrow_nodes_stays_close(kind, criterion):
    points = random_points(400, 2, seed=17)
    tree = build(kind, points, 4)
    for q in random_points(5, 2, seed=18):
        exact = tree.kernel_density(q, 2.0)
        approx = tree.kernel_density_approx(q, 2.0, "gaussian", criterion, 5, 0.3)
        assert approx != exact
        # A clock-seeded vantage-point tree differs per build; its worst case over many builds
        # stays near 2.1%.
        assert abs(approx - exact) <= (0.03 if kind == "vp-random" else 0.02) * exact


def test_kd_clamp_into_an_empty_interval_panics():
    # Every point is NaN in dimension 1, so its box there is (+inf, -inf).
    tree = build("kd", [[0.0, math.nan], [1.0, math.nan], [2.0, math.nan]], 1)
    with pytest.raises(PanicException, match=r"^min > max, or either was NaN\. min = inf, max = -inf$"):
        tree.kernel_density_approx([0.5, math.nan], 1.0, "gaussian", "min_samples", 0)


# ---- shape checks in the core -----------------------------------------------------------------------

@pytest.mark.parametrize("kind", KINDS)
def test_scalar_queries_need_a_one_coordinate_tree(kind):
    tree = build(kind, random_points(10, 2, seed=1), 3)
    msg = ("^assertion `left == right` failed: Query dimension must match tree dimension\n"
           "  left: 1\n right: 2$")
    with pytest.raises(PanicException, match=msg):
        tree.kernel_density(0.5)
    with pytest.raises(PanicException, match=msg):
        tree.kernel_density_approx(0.5)
    one = build(kind, [[0.0], [1.0]], 3)
    assert one.kernel_density(0.5, 1.0, "uniform") == 1.0


@pytest.mark.parametrize("metric, radius", [("euclidean", math.sqrt(2.0)), ("manhattan", 2.0), ("chebyshev", 1.0)])
def test_ball_radius_follows_the_metric(metric, radius):
    # Centroid (1, 1); the root is internal (leaf size 2) and approximated from its centroid.
    tree = build("ball", [[0.0, 0.0], [2.0, 0.0], [0.0, 2.0], [2.0, 2.0]], 2, metric)
    got = tree.kernel_density_approx([1.0, 1.0], 1.0, "gaussian", "min_samples", 0)
    assert got == (1.0 + kernel("gaussian", radius)) * 0.5 * 4


def test_vp_root_span_and_extremes():
    # Vantage point 0; the others lie 1..4 away: span 3, Dmax = d + 4.
    tree = build("vp", [[0.0], [1.0], [2.0], [3.0], [4.0]], 3)
    expected = (1.0 + kernel("gaussian", 4.0 / 2.0)) * 0.5 * 5
    assert tree.kernel_density_approx(0.0, 2.0, "gaussian", "max_span", None, 3.0) == expected
    assert tree.kernel_density_approx(0.0, 2.0, "gaussian", "max_span", None, 2.9) != expected


def test_chebyshev_kd_tree_estimates_with_chebyshev_extremes():
    # Box [0, 1] x [0, 2]; query (3, 1): nearest box point (1, 1) at Chebyshev distance 2,
    # farthest corner (0, 2) at Chebyshev distance 3 (the Euclidean ones would be 2 and sqrt(10)).
    import math

    import kestrum

    pts = kestrum.Array([4, 2], [0, 0, 1, 0, 0, 2, 1, 2])
    tree = kestrum.spatial.KDTree.from_array(pts, leaf_size=1, metric="chebyshev")
    got = tree.kernel_density_approx([3.0, 1.0], criterion="min_samples", min_samples=0)
    k = lambda u: math.exp(u * -0.5 * u)  # noqa: E731
    assert got == (k(2.0) + k(3.0)) * 0.5 * 4
