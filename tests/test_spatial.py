"""Tree builds, k-nearest-neighbour and radius queries of KDTree, BallTree and VPTree."""
import math

import pytest

import kestrum
from support import PanicException
from kestrum import spatial
from spatial_reference import METRICS, TREES, build, distance, knn, radius, random_points, to_array

KINDS = list(TREES)
BUILDS = KINDS + ["vp-random"]


# ---- agreement with brute force -----------------------------------------------------------------

@pytest.mark.parametrize("kind", BUILDS)
@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("leaf_size", [1, 3, 20])
def test_knn_and_radius_match_brute_force(kind, metric, leaf_size):
    points = random_points(150, 3, seed=leaf_size)
    tree = build(kind, points, leaf_size, metric)
    for q in random_points(12, 3, seed=99, scale=1.3) + points[:4]:
        for k in (1, 5, 17):
            assert tree.query_knn(q, k) == knn(points, q, k, metric)
        for r in (0.0, 0.3, 0.9):
            found = tree.query_radius(q, r)
            assert sorted(found) == radius(points, q, r, metric)
            assert len(set(found)) == len(found)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("dim", [1, 2, 5])
def test_other_dimensions_match_brute_force(kind, dim):
    points = random_points(90, dim, seed=dim)
    tree = build(kind, points, 4, "euclidean")
    for q in random_points(10, dim, seed=7):
        assert tree.query_knn(q, 6) == knn(points, q, 6, "euclidean")
        assert sorted(tree.query_radius(q, 0.5)) == radius(points, q, 0.5, "euclidean")


@pytest.mark.parametrize("kind", BUILDS)
@pytest.mark.parametrize("metric", METRICS)
def test_every_stored_point_finds_itself(kind, metric):
    points = random_points(120, 2, seed=5)
    tree = build(kind, points, 2, metric)
    for i, p in enumerate(points):
        assert tree.query_knn(p, 1) == [i]
        assert i in tree.query_radius(p, 0.0)


@pytest.mark.parametrize("kind", KINDS)
def test_duplicates_and_clustered_points(kind):
    points = [[1.0, 2.0]] * 40 + [[0.0, 0.0]] * 30 + [[5.0, 5.0]]
    tree = build(kind, points, 3)
    assert sorted(tree.query_radius([1.0, 2.0], 0.0)) == list(range(40))
    assert sorted(tree.query_knn([0.1, 0.1], 30)) == list(range(40, 70))
    assert tree.query_knn([9.0, 9.0], 1) == [70]


@pytest.mark.parametrize("kind", KINDS)
def test_sorted_and_identical_inputs_build_shallow_trees(kind):
    # A degenerate split would recurse once per point and overflow the stack.
    n = 200_000
    sorted_tree = TREES[kind].from_array(kestrum.Array([n, 1], [float(i) for i in range(n)]), 1)
    assert sorted_tree.query_knn(1234.2, 2) == [1234, 1235]
    same = TREES[kind].from_array(kestrum.Array([n, 2], [3.0] * (2 * n)), 1)
    assert len(same.query_radius([3.0, 3.0], 0.0)) == n


@pytest.mark.parametrize("kind", KINDS)
def test_million_identical_points_build(kind):
    n = 1_000_000
    tree = TREES[kind].from_array(kestrum.Array([n, 1], [0.5] * n), 8)
    assert len(tree.query_knn(0.5, 3)) == 3


def test_kd_split_at_the_median_of_the_widest_dimension():
    # Split on x (spread 3) at rank 2: the two smaller x values go left, so leaf order is by x.
    tree = build("kd", [[3.0, 0.0], [1.0, 0.0], [2.0, 0.0], [0.0, 0.0]], 1)
    assert tree.query_radius([0.0, 0.0], math.inf) == [3, 1, 2, 0]


def test_vp_inner_child_keeps_the_vantage_point():
    # Five points, leaf size 3: inner child {0, 1, 2} led by vantage point 0, outer child {3, 4}.
    tree = build("vp", [[0.0], [1.0], [2.0], [3.0], [4.0]], 3)
    assert tree.query_radius(0.0, math.inf) == [0, 1, 2, 3, 4]


# ---- results at the edges ---------------------------------------------------------------------

@pytest.mark.parametrize("kind", KINDS)
def test_k_larger_than_points_and_k_zero(kind):
    points = [[0.0], [3.0], [1.0], [2.0]]
    tree = build(kind, points, 1)
    assert tree.query_knn(0.2, 10) == [0, 2, 3, 1]
    assert tree.query_knn(0.2, 2**64 - 1) == [0, 2, 3, 1]
    assert tree.query_knn(0.2, 0) == []


@pytest.mark.parametrize("kind", KINDS)
def test_radius_is_inclusive_and_negative_radius_is_empty(kind):
    points = [[0.0, 0.0], [3.0, 4.0]]
    tree = build(kind, points, 1)
    assert sorted(tree.query_radius([0.0, 0.0], 5.0)) == [0, 1]
    assert tree.query_radius([0.0, 0.0], math.nextafter(5.0, 0.0)) == [0]
    assert tree.query_radius([0.0, 0.0], -1.0) == []


@pytest.mark.parametrize("kind", BUILDS)
@pytest.mark.parametrize("metric", METRICS)
def test_radius_boundary_is_exact_to_the_last_bit(kind, metric):
    points = random_points(80, 3, seed=31, scale=1e3)
    tree = build(kind, points, 3, metric)
    q = [1.5, -2.25, 7.0]
    for i in range(0, 80, 7):
        d = distance(metric, q, points[i])
        assert i in tree.query_radius(q, d)
        assert i not in tree.query_radius(q, math.nextafter(d, 0.0))


@pytest.mark.parametrize("kind", KINDS)
def test_huge_and_tiny_coordinates(kind):
    points = [[1e200, 0.0], [-1e200, 0.0], [1e-150, 1e-150], [0.0, 0.0], [math.inf, 1.0]]
    tree = build(kind, points, 1)
    assert tree.query_knn([0.0, 0.0], 2) == [3, 2]
    assert sorted(tree.query_radius([0.0, 0.0], 1e-149)) == [2, 3]
    assert sorted(tree.query_radius([0.0, 0.0], math.inf)) == [0, 1, 2, 3, 4]
    assert tree.query_knn([1e200, 0.0], 1) == [0]


@pytest.mark.parametrize("kind", KINDS)
def test_equal_distance_never_displaces_a_held_neighbour(kind):
    # From 0 the points lie at 1, 2, 2, 0: the two nearest are at 0 and 1.
    tree = build(kind, [[1.0], [2.0], [-2.0], [0.0]], 20)
    assert tree.query_knn(0.0, 2) == [3, 0]


@pytest.mark.parametrize("kind", KINDS)
def test_radius_results_follow_storage_order(kind):
    points = random_points(60, 2, seed=3)
    tree = build(kind, points, 2)
    everything = tree.query_radius([0.0, 0.0], math.inf)
    assert sorted(everything) == list(range(60))
    inside = set(radius(points, [0.1, 0.1], 0.6, "euclidean"))
    assert tree.query_radius([0.1, 0.1], 0.6) == [i for i in everything if i in inside]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("metric", METRICS)
def test_empty_tree_answers_nothing(kind, metric):
    tree = TREES[kind].from_array(kestrum.Array([0, 2], []), 20, metric)
    assert tree.query_knn([0.0, 0.0], 3) == []
    assert tree.query_radius([0.0, 0.0], 1e300) == []


def test_chebyshev_nan_coordinates_are_ignored():
    # Chebyshev distance between (NaN, 1) and (0, 0) is 1; Euclidean is NaN.
    for kind in KINDS:
        cheb = build(kind, [[0.0, 0.0]], 20, "chebyshev")
        assert cheb.query_radius([math.nan, 1.0], 1.0) == [0]
        assert cheb.query_radius([math.nan, 1.0], 0.99) == []
        euclid = build(kind, [[0.0, 0.0]], 20, "euclidean")
        assert euclid.query_radius([math.nan, 1.0], 1e300) == []


@pytest.mark.parametrize("kind", BUILDS)
def test_chebyshev_ignores_nan_coordinates_in_stored_points(kind):
    # Points with NaN coordinates can be nearer than their node's box or ring suggests.
    # Dimension 2 is nearly flat, so no split uses it (a NaN split key would be refused).
    points = random_points(200, 3, seed=41)
    for i, p in enumerate(points):
        p[2] = math.nan if i % 3 == 0 else p[2] * 1e-9
    tree = build(kind, points, 4, "chebyshev")
    for q in random_points(15, 3, seed=42):
        q[2] = 0.5
        assert tree.query_knn(q, 5) == knn(points, q, 5, "chebyshev")
        assert sorted(tree.query_radius(q, 0.3)) == radius(points, q, 0.3, "chebyshev")


@pytest.mark.parametrize("kind", KINDS)
def test_nan_query_is_memory_safe(kind):
    points = random_points(50, 2, seed=11)
    tree = build(kind, points, 2)
    assert len(tree.query_knn([math.nan, 0.0], 5)) == 5
    assert tree.query_radius([math.nan, 0.0], 10.0) == []


def test_kd_short_query_uses_leading_coordinates_in_a_single_leaf():
    tree = build("kd", [[0.0, 9.0], [2.0, -9.0]], 20)
    assert tree.query_knn([1.9], 1) == [1]


@pytest.mark.parametrize("kind", ["ball", "vp"])
def test_short_query_uses_leading_coordinates(kind):
    points = random_points(80, 2, seed=4)
    tree = build(kind, points, 3)
    q = [0.25]
    expected = knn([[p[0]] for p in points], q, 5, "euclidean")
    assert tree.query_knn(q, 5) == expected
    assert sorted(tree.query_radius(q, 0.1)) == radius([[p[0]] for p in points], q, 0.1, "euclidean")


def test_one_coordinate_tree_takes_a_float_query():
    tree = build("kd", [[0.0], [4.0], [6.0]], 1)
    assert tree.query_knn(5.0, 1) in ([1], [2])
    assert tree.query_knn(5.9, 1) == [2]


# ---- bounds that the searches must not over-prune -----------------------------------------------

def test_kd_chebyshev_bound_keeps_diagonal_neighbours():
    # The box of (0.9, 0.9) is 1.27 away in Euclidean terms but only 0.9 in Chebyshev terms; the
    # other leaf holds a point at Chebyshev distance 1.0.
    tree = build("kd", [[0.9, 0.9], [1.0, 0.0]], 1, "chebyshev")
    assert tree.query_knn([0.0, 0.0], 1) == [0]
    assert tree.query_radius([0.0, 0.0], 0.95) == [0]


def test_vp_bound_keeps_the_vantage_point():
    # Query equal to the vantage point 0 of a leaf whose other points lie 1..4 away.
    tree = build("vp", [[0.0], [1.0], [2.0], [3.0], [4.0]], 20)
    assert tree.query_radius(0.0, 0.5) == [0]
    assert tree.query_knn(0.0, 1) == [0]


# ---- VP-tree shapes -----------------------------------------------------------------------------

@pytest.mark.parametrize("n", [0, 1, 2, 3, 5, 8])
@pytest.mark.parametrize("leaf_size", [1, 2, 3])
@pytest.mark.parametrize("selection", ["first", "random"])
def test_vp_small_trees_and_small_leaves(n, leaf_size, selection):
    points = [[float(i * i % 7), float(i)] for i in range(n)]
    tree = spatial.VPTree.from_array(to_array(points, 2), leaf_size, "euclidean", selection)
    for q in ([0.3, 0.45], [3.1, 2.2], [7.0, 8.3]):
        assert tree.query_knn(q, 3) == knn(points, q, 3, "euclidean")
        assert sorted(tree.query_radius(q, 2.5)) == radius(points, q, 2.5, "euclidean")


def test_vp_random_selection_answers_like_first():
    points = random_points(300, 3, seed=8)
    first = build("vp", points, 5)
    rand = spatial.VPTree.from_array(to_array(points), 5, "euclidean", "random")
    for q in random_points(10, 3, seed=2):
        assert rand.query_knn(q, 7) == first.query_knn(q, 7)
        assert sorted(rand.query_knn(q, 300)) == list(range(300))


def test_vp_nan_distances_are_memory_safe():
    points = [[math.nan, 1.0]] * 10 + [[float(i), 0.0] for i in range(20)] + [[math.inf, 0.0]] * 3
    for selection in ("first", "random"):
        tree = spatial.VPTree.from_array(to_array(points), 2, "euclidean", selection)
        assert tree.query_knn([3.1, 0.0], 2) == [13, 14]
        assert sorted(tree.query_radius([3.0, 0.0], 1.0)) == [12, 13, 14]


def test_vp_dimension_zero_builds():
    tree = spatial.VPTree.from_array(kestrum.Array([5, 0], []), 1)
    assert sorted(tree.query_knn([], 5)) == [0, 1, 2, 3, 4]
    assert sorted(tree.query_radius([], 0.0)) == [0, 1, 2, 3, 4]


# ---- build failures -----------------------------------------------------------------------------

@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("shape", [[4], [2, 2, 1], []])
def test_non_2d_source_panics(kind, shape):
    n = 1
    for d in shape:
        n *= d
    with pytest.raises(PanicException, match=r"^Expected 2D array \(n_points, dim\)$"):
        TREES[kind].from_array(kestrum.Array(shape, [1.0] * n))


@pytest.mark.parametrize("kind", ["kd", "ball"])
def test_nan_in_split_dimension_panics(kind):
    points = [[0.0, 1.0], [math.nan, 2.0], [5.0, 3.0]]
    with pytest.raises(PanicException, match=r"^called `Option::unwrap\(\)` on a `None` value$"):
        build(kind, points, 1)
    # In a leaf the NaN takes part in no split.
    assert build(kind, points, 3).query_knn([5.0, 3.0], 1) == [2]


@pytest.mark.parametrize("kind", ["kd", "ball"])
def test_nan_outside_split_dimension_builds(kind):
    points = [[float(i), math.nan] for i in range(10)]
    tree = build(kind, points, 1, "chebyshev")
    assert tree.query_knn([3.2, 0.0], 10)[:2] == [3, 4]


@pytest.mark.parametrize("kind", ["kd", "ball"])
def test_zero_dimensional_points_cannot_be_split(kind):
    with pytest.raises(PanicException, match=r"^index out of bounds: the len is 0 but the index is 0$"):
        TREES[kind].from_array(kestrum.Array([3, 0], []), 2)
    assert sorted(TREES[kind].from_array(kestrum.Array([3, 0], []), 3).query_knn([], 5)) == [0, 1, 2]


# ---- query length mismatches ----------------------------------------------------------------------

@pytest.mark.parametrize("kind", KINDS)
def test_query_longer_than_points_panics(kind):
    tree = build(kind, random_points(30, 2, seed=1), 4)
    msg = r"^index out of bounds: the len is 2 but the index is 2$"
    with pytest.raises(PanicException, match=msg):
        tree.query_knn([0.0, 0.0, 0.0], 1)
    with pytest.raises(PanicException, match=msg):
        tree.query_radius([0.0, 0.0, 0.0], 5.0)


def test_kd_query_longer_than_points_is_fine_while_every_leaf_is_pruned():
    tree = build("kd", [[0.0, 0.0], [1.0, 1.0]], 1)
    assert tree.query_radius([10.0, 10.0, 10.0], 1.0) == []


def test_kd_query_shorter_than_points_panics_in_the_box_test():
    tree = build("kd", random_points(30, 3, seed=1), 4)
    with pytest.raises(PanicException, match=r"^index out of bounds: the len is 1 but the index is 1$"):
        tree.query_radius([0.0], 1.0)
    with pytest.raises(PanicException, match=r"^index out of bounds: the len is 2 but the index is 2$"):
        tree.query_knn([0.0, 0.0], 1)


def test_kd_short_query_reading_the_split_coordinate_panics():
    tree = build("kd", [[0.0, 0.0], [0.0, 5.0]], 1)  # splits on dimension 1
    with pytest.raises(PanicException, match=r"^index out of bounds: the len is 1 but the index is 1$"):
        tree.query_knn([0.0], 5)
    with pytest.raises(PanicException, match=r"^index out of bounds: the len is 0 but the index is 1$"):
        tree.query_knn([], 5)
