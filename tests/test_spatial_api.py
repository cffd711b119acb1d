"""What a Python caller sees of KDTree, BallTree and VPTree: signatures, argument forms, results
and messages."""
import math
import re

import pytest

import kestrum
from support import PanicException
from kestrum import spatial
from spatial_reference import TREES

CLASSES = list(TREES.values())
POINTS = kestrum.Array([3, 2], [0.0, 0.0, 1.0, 0.0, 0.0, 2.0])


@pytest.fixture(params=list(TREES))
def tree(request):
    return TREES[request.param].from_array(POINTS)


def message(text):
    return "^" + re.escape(text) + "$"


# ---- classes and signatures ------------------------------------------------------------------------

@pytest.mark.parametrize("cls", CLASSES)
def test_text_signatures(cls):
    expected_from_array = '(array, leaf_size=20, metric="euclidean")'
    if cls is spatial.VPTree:
        expected_from_array = '(array, leaf_size=20, metric="euclidean", selection="first")'
    assert cls.from_array.__text_signature__ == expected_from_array
    assert cls.query_knn.__text_signature__ == "($self, query, k)"
    assert cls.query_radius.__text_signature__ == "($self, query, radius)"
    assert cls.kernel_density.__text_signature__ == '($self, queries=None, bandwidth=1.0, kernel="gaussian")'
    assert cls.kernel_density_approx.__text_signature__ == (
        '($self, queries=None, bandwidth=1.0, kernel="gaussian", criterion="none", min_samples=None, max_span=None)')


@pytest.mark.parametrize("cls", CLASSES)
def test_no_constructor(cls):
    with pytest.raises(TypeError):
        cls()
    assert type(cls.from_array(POINTS)) is cls


def test_class_names():
    assert [c.__name__ for c in (spatial.BallTree, spatial.KDTree, spatial.VPTree)] == ["BallTree", "KDTree", "VPTree"]


# ---- from_array ------------------------------------------------------------------------------------

@pytest.mark.parametrize("cls", CLASSES)
def test_from_array_argument_conversion(cls):
    with pytest.raises(TypeError, match=message("argument 'array': 'list' object cannot be cast as 'Array'")):
        cls.from_array([[0.0, 1.0]])
    with pytest.raises(OverflowError):
        cls.from_array(POINTS, -1)
    with pytest.raises(TypeError, match="^argument 'leaf_size': "):
        cls.from_array(POINTS, 2.0)
    with pytest.raises(TypeError, match="^argument 'metric': "):
        cls.from_array(POINTS, 2, 3)
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'array'"):
        cls.from_array()
    t = cls.from_array(array=POINTS, leaf_size=None, metric=None)
    assert t.query_knn([0.9, 0.1], 1) == [1]


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("name", ["Euclidean", "MANHATTAN", "chebyshev", "ChebySHEV"])
def test_metric_names_ignore_case(cls, name):
    assert cls.from_array(POINTS, 20, name).query_knn([0.0, 1.9], 1) == [2]


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("name", ["cosine", "Euclidean ", ""])
def test_unknown_metric(cls, name):
    text = f"Unknown distance metric '{name}'. Valid options: 'euclidean', 'manhattan', 'chebyshev'"
    with pytest.raises(ValueError, match=message(text)):
        cls.from_array(POINTS, 20, name)


@pytest.mark.parametrize("cls", CLASSES)
def test_leaf_size_zero_is_rejected_after_the_name_checks(cls):
    with pytest.raises(ValueError, match=message("leaf_size must be at least 1")):
        cls.from_array(POINTS, 0)
    with pytest.raises(ValueError, match="^Unknown distance metric 'x'"):
        cls.from_array(POINTS, 0, "x")
    if cls is spatial.VPTree:
        with pytest.raises(ValueError, match="^Unknown vantage point selection method 'median'"):
            cls.from_array(POINTS, 0, "euclidean", "median")
        with pytest.raises(ValueError, match="^Unknown distance metric 'x'"):
            cls.from_array(POINTS, 0, "x", "median")


def test_vp_selection_names():
    assert spatial.VPTree.from_array(POINTS, 20, "euclidean", "Random").query_knn([1.0, 0.1], 1) == [1]
    assert spatial.VPTree.from_array(POINTS, selection="FIRST").query_knn([1.0, 0.1], 1) == [1]
    assert spatial.VPTree.from_array(POINTS, selection=None).query_knn([1.0, 0.1], 1) == [1]
    text = "Unknown vantage point selection method 'median'. Valid options: 'first', 'random'"
    with pytest.raises(ValueError, match=message(text)):
        spatial.VPTree.from_array(POINTS, 20, "euclidean", "median")
    with pytest.raises(TypeError, match="^argument 'selection': "):
        spatial.VPTree.from_array(POINTS, 20, "euclidean", 1)


# ---- single-query form -----------------------------------------------------------------------------

def test_query_forms(tree):
    assert tree.query_knn([0.9, 0.1], 1) == [1]
    assert tree.query_knn((0.9, 0.1), 1) == [1]
    assert tree.query_knn(kestrum.Array([2], [0.9, 0.1]), 1) == [1]
    assert tree.query_knn(kestrum.Array([1, 2], [0.9, 0.1]), 1) == [1]  # any shape: its elements
    assert tree.query_knn(query=[0.0, 1.9], k=1) == [2]
    assert sorted(tree.query_radius([0, 0], 1)) == [0, 1]
    assert sorted(tree.query_radius([0, 0], radius=1.0)) == [0, 1]


@pytest.mark.parametrize("bad", ["ab", "1.0", [[0.0, 0.0]], {"a": 1}, None, [0.0, "x"]])
def test_unusable_queries(tree, bad):
    with pytest.raises(ValueError, match=message("query must be a scalar, list, or Array")):
        tree.query_knn(bad, 1)
    with pytest.raises(ValueError, match=message("query must be a scalar, list, or Array")):
        tree.query_radius(bad, 1.0)


def hostile_query(hook, exc):
    """A query object whose `hook` raises `exc`; the other hooks make it reach that one."""
    def fail(self, *args):
        raise exc("from the query")
    hooks = {"__float__": {"__float__": fail},
             "__iter__": {"__getitem__": lambda self, i: 0.0, "__iter__": fail},
             "__getitem__": {"__getitem__": fail}}[hook]
    return type("Query", (), hooks)()


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, MemoryError, ZeroDivisionError, TypeError, ValueError])
@pytest.mark.parametrize("hook", ["__float__", "__iter__", "__getitem__"])
@pytest.mark.parametrize("call", [lambda t, q: t.query_knn(q, 1), lambda t, q: t.kernel_density(q)],
                         ids=["query_knn", "kernel_density"])
def test_query_hook_errors_propagate_unless_they_mean_another_form(tree, call, hook, exc):
    if exc in (TypeError, ValueError):  # this form does not apply; no other does either
        with pytest.raises(ValueError, match="^quer(y|ies) must be a scalar, list, or Array$"):
            call(tree, hostile_query(hook, exc))
    else:
        with pytest.raises(exc, match="^from the query$"):
            call(tree, hostile_query(hook, exc))


def test_k_and_radius_are_converted_before_the_query(tree):
    with pytest.raises(OverflowError):
        tree.query_knn("bad", -1)
    with pytest.raises(TypeError, match="^argument 'k': "):
        tree.query_knn("bad", 1.5)
    with pytest.raises(TypeError, match="^argument 'radius': "):
        tree.query_radius("bad", "1")
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'k'"):
        tree.query_knn([0.0, 0.0])


def test_scalar_query_is_one_coordinate():
    t = spatial.KDTree.from_array(kestrum.Array([3, 1], [0.0, 4.0, 7.0]))
    assert t.query_knn(5.0, 1) == [1]
    assert t.query_knn(True, 1) == [0]
    assert t.query_radius(6, 1.0) == [2]


# ---- density arguments -------------------------------------------------------------------------------

def test_density_result_rule(tree):
    one = tree.kernel_density(kestrum.Array([1, 2], [0.0, 0.0]))
    assert isinstance(one, float)
    two = tree.kernel_density(kestrum.Array([2, 2], [0.0, 0.0, 1.0, 1.0]))
    assert isinstance(two, kestrum.Array) and two.shape == [2]
    none = tree.kernel_density(kestrum.Array([0, 2], []))
    assert isinstance(none, kestrum.Array) and none.shape == [0]
    every = tree.kernel_density()
    assert isinstance(every, kestrum.Array) and every.shape == [3]


def test_density_query_forms_agree(tree):
    expected = tree.kernel_density(kestrum.Array([1, 2], [0.5, 0.25]), 1.0, "gaussian")
    assert tree.kernel_density([0.5, 0.25]) == expected
    assert tree.kernel_density((0.5, 0.25)) == expected
    assert tree.kernel_density(kestrum.Array([2], [0.5, 0.25])) == expected
    assert tree.kernel_density(queries=[0.5, 0.25], bandwidth=None, kernel=None) == expected
    assert tree.kernel_density_approx([0.5, 0.25], None, None, None, None, None) == expected


def test_density_query_messages(tree):
    cases = [
        ([[0.0, 0.0], [1.0, 1.0]], "queries must be a scalar, list, or Array"),
        ("ab", "queries must be a scalar, list, or Array"),
        ({"a": 1}, "queries must be a scalar, list, or Array"),
        (kestrum.Array([3], [1.0, 2.0, 3.0]), "Query dimension 3 doesn't match tree dimension 2"),
        (kestrum.Array([2, 3], [0.0] * 6), "Query dimension 3 doesn't match tree dimension 2"),
        (kestrum.Array([1, 1, 2], [0.0] * 2), "queries must be 1D or 2D array"),
        (kestrum.Array([], [1.0]), "queries must be 1D or 2D array"),
        ([1.0, 2.0, 3.0], "Query vector length 3 doesn't match tree dimension 2"),
        ([], "Query vector length 0 doesn't match tree dimension 2"),
    ]
    for queries, text in cases:
        with pytest.raises(ValueError, match=message(text)):
            tree.kernel_density(queries)
        with pytest.raises(ValueError, match=message(text)):
            tree.kernel_density_approx(queries)


def test_kernel_names(tree):
    q = [0.1, 0.1]
    assert tree.kernel_density(q, 1.0, "Uniform") == tree.kernel_density(q, 1.0, "uniform") == 1.0
    # Full Unicode lower-casing: the Kelvin sign lower-cases to "k".
    assert tree.kernel_density(q, 1.0, "EPANECHNI\u212aOV") == tree.kernel_density(q, 1.0, "epanechnikov")
    text = "Unknown kernel type 'Gaussian '. Valid options: 'gaussian', 'epanechnikov', 'uniform', 'triangular'"
    with pytest.raises(ValueError, match=message(text)):
        tree.kernel_density(q, 1.0, "Gaussian ")
    with pytest.raises(ValueError, match="^Unknown kernel type 'box'"):
        tree.kernel_density_approx(q, 1.0, "box", "nonsense")
    with pytest.raises(TypeError, match="^argument 'bandwidth': "):
        tree.kernel_density(q, "wide", "nonsense")


def test_kernel_is_checked_before_the_queries(tree):
    with pytest.raises(ValueError, match="^Unknown kernel type"):
        tree.kernel_density("not a query", 1.0, "box")
    with pytest.raises(ValueError, match="^Unknown approximation criterion"):
        tree.kernel_density_approx("not a query", 1.0, "gaussian", "x")


@pytest.mark.parametrize("criterion, min_samples, max_span, text", [
    ("min_samples", None, 1.0, "min_samples parameter required for 'min_samples' criterion"),
    ("max_span", 3, None, "max_span parameter required for 'max_span' criterion"),
    ("combined", None, None, "min_samples parameter required for 'combined' criterion"),
    ("combined", None, 1.0, "min_samples parameter required for 'combined' criterion"),
    ("combined", 5, None, "max_span parameter required for 'combined' criterion"),
    ("kmeans", 5, 1.0, "Unknown approximation criterion 'kmeans'. "
                       "Valid options: 'none', 'min_samples', 'max_span', 'combined'"),
    ("None ", None, None, "Unknown approximation criterion 'None '. "
                          "Valid options: 'none', 'min_samples', 'max_span', 'combined'"),
])
def test_criterion_messages(tree, criterion, min_samples, max_span, text):
    with pytest.raises(ValueError, match=message(text)):
        tree.kernel_density_approx([0.0, 0.0], 1.0, "gaussian", criterion, min_samples, max_span)


def test_criterion_names_ignore_case(tree):
    exact = tree.kernel_density([0.0, 0.0])
    assert tree.kernel_density_approx([0.0, 0.0], criterion="MAX_SPAN", max_span=-1.0) == exact
    assert tree.kernel_density_approx([0.0, 0.0], criterion="NONE") == exact
    assert tree.kernel_density_approx([0.0, 0.0], criterion="Min_Samples", min_samples=10) == exact
    with pytest.raises(OverflowError):
        tree.kernel_density_approx([0.0, 0.0], criterion="min_samples", min_samples=-1)
    with pytest.raises(TypeError, match="^argument 'max_span': "):
        tree.kernel_density_approx([0.0, 0.0], criterion="max_span", max_span="1")


def test_bandwidth_divides_distances_as_given():
    t = spatial.KDTree.from_array(kestrum.Array([1, 1], [0.0]))
    assert math.isnan(t.kernel_density(0.0, 0.0, "gaussian"))  # 0 / 0
    assert t.kernel_density(1.0, 2, "uniform") == 0.5
    assert t.kernel_density(1.0, -2.0, "triangular") == 1.5  # u = -0.5


@pytest.mark.parametrize("cls", CLASSES)
def test_tree_methods_reject_other_instances(cls):
    with pytest.raises(TypeError):
        cls.query_knn(kestrum.Array([1], [0.0]), [0.0], 1)


def test_panics_are_not_exceptions():
    with pytest.raises(PanicException):
        try:
            spatial.KDTree.from_array(kestrum.Array([2], [1.0, 2.0]))
        except Exception:  # a panic must not be caught here
            pytest.fail("PanicException derives from Exception")
