"""Batch queries of KDTree, BallTree and VPTree: every row equals the single-query answer for any
number of workers and any query form; argument checks; the interpreter lock is released."""
import functools
import os
import random
import re
import subprocess
import sys
import threading
import time

import pytest

import kestrum
from kestrum import spatial
from spatial_reference import METRICS, TREES, distance

np = pytest.importorskip("numpy")

# Enough queries that every walk runs on several threads and in reordered chunks; duplicated
# points and queries on stored points make ties.
N_POINTS, N_QUERIES, DIM = 400, 2600, 3


@functools.lru_cache(maxsize=None)
def case(kind, metric):
    rng = random.Random(f"{kind}-{metric}")
    points = [[rng.random() for _ in range(DIM)] for _ in range(N_POINTS - 20)]
    points += [list(p) for p in points[:20]]
    queries = [[rng.random() for _ in range(DIM)] for _ in range(N_QUERIES - 40)] + points[:40]
    tree = TREES[kind].from_array(kestrum.Array([N_POINTS, DIM], [x for p in points for x in p]), 8, metric)
    knn = [tree.query_knn(q, 7) for q in queries]
    radius = [tree.query_radius(q, 0.2) for q in queries]
    q_array = kestrum.Array([N_QUERIES, DIM], [x for q in queries for x in q])
    density = tree.kernel_density(q_array, 0.3).tolist()
    approx = tree.kernel_density_approx(q_array, 0.3, "epanechnikov", "max_span", None, 0.2).tolist()
    own = tree.kernel_density(kestrum.Array([N_POINTS, DIM], [x for p in points for x in p]), 0.3).tolist()
    return tree, points, queries, knn, radius, density, approx, own


FORMS = {
    "array": lambda q: kestrum.Array([len(q), DIM], [x for row in q for x in row]),
    "numpy": lambda q: np.array(q, dtype=np.float64),
    "lists": lambda q: q,
}


@pytest.mark.parametrize("form", list(FORMS))
@pytest.mark.parametrize("workers", [1, 2, -1])
@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("kind", list(TREES))
def test_batch_rows_equal_single_queries(kind, metric, workers, form):
    tree, points, queries, knn, radius, density, approx, own = case(kind, metric)
    q = FORMS[form](queries)
    indices, distances = tree.query_knn_batch(q, 7, workers=workers)
    assert indices.shape == distances.shape == [N_QUERIES, 7]
    assert [[int(i) for i in row] for row in indices.tolist()] == knn
    assert distances.tolist() == [[distance(metric, qq, points[i]) for i in row] for qq, row in zip(queries, knn)]
    assert tree.query_radius_batch(q, 0.2, workers) == radius
    assert tree.query_radius_batch(q, 0.2, workers, True).tolist() == [len(r) for r in radius]
    assert tree.kernel_density_batch(q, 0.3, workers=workers).tolist() == density
    assert tree.kernel_density_batch(q, 0.3, "epanechnikov", "max_span", None, 0.2, workers).tolist() == approx
    assert tree.kernel_density_batch(None, 0.3, workers=workers).tolist() == own


@pytest.mark.parametrize("kind", list(TREES))
def test_nan_queries_and_one_query_forms(kind):
    tree, points, *_ = case(kind, "euclidean")
    nan_query = [float("nan"), 0.5, 0.5]
    indices, distances = tree.query_knn_batch([nan_query], 3)
    assert [int(i) for i in indices.tolist()[0]] == tree.query_knn(nan_query, 3)
    assert all(d != d for d in distances.tolist()[0])
    one = points[3]
    for q in (one, kestrum.Array([DIM], one), np.array(one), (tuple(one),)):
        assert tree.query_knn_batch(q, 2)[0].shape == [1, 2]
        assert tree.query_radius_batch(q, 0.1) == [tree.query_radius(one, 0.1)]
        assert tree.kernel_density_batch(q).shape == [1]


@pytest.mark.parametrize("kind", list(TREES))
def test_empty_shapes(kind):
    tree, *_ = case(kind, "euclidean")
    none = np.zeros((0, DIM))
    assert [a.shape for a in tree.query_knn_batch([[0.5] * DIM] * 4, 0)] == [[4, 0], [4, 0]]
    assert [a.shape for a in tree.query_knn_batch(none, 5)] == [[0, 5], [0, 5]]
    assert tree.query_knn_batch([[0.5] * DIM], 10**9)[0].shape == [1, N_POINTS]
    assert tree.query_radius_batch(none, 0.5) == []
    assert tree.query_radius_batch([], 0.5, count_only=True).shape == [0]
    assert tree.kernel_density_batch(none).shape == [0]
    if kind != "vp":  # a vantage-point tree of no points cannot be built
        empty = TREES[kind].from_array(kestrum.zeros([0, 2]))
        assert empty.query_knn_batch([[0.0, 0.0]] * 3, 2)[0].shape == [3, 0]
        assert empty.query_radius_batch([[0.0, 0.0]], 1.0) == [[]]
        assert empty.kernel_density_batch([[0.0, 0.0]]).tolist() == [0.0]
        assert empty.kernel_density_batch().shape == [0]


def message(text):
    return "^" + re.escape(text) + "$"


CONTIGUOUS = "queries must be a C-contiguous float64 array"


@pytest.mark.parametrize("queries, error, text", [
    ([[0.0, 0.0]], ValueError, message("Query dimension 2 doesn't match tree dimension 3")),
    (np.zeros((2, 4)), ValueError, message("Query dimension 4 doesn't match tree dimension 3")),
    ([[0.0] * 3, [0.0] * 2], ValueError, "Query dimension 2"),
    (kestrum.zeros([2, 2, 3]), ValueError, message("queries must be 1D or 2D array")),
    (np.zeros((2, 2, 3)), ValueError, message("queries must be 1D or 2D array")),
    (np.zeros((3, 6))[:, ::2], ValueError, CONTIGUOUS),
    (np.zeros((2, 3), dtype=np.float32), ValueError, CONTIGUOUS),
    ("abc", ValueError, "queries must be"),
    (5.0, ValueError, "queries must be"),
    ([["a", 1.0, 2.0]], ValueError, "each query must be a list of numbers"),
])
def test_query_errors(queries, error, text):
    tree, *_ = case("kd", "euclidean")
    for call in (lambda: tree.query_knn_batch(queries, 1), lambda: tree.query_radius_batch(queries, 0.1),
                 lambda: tree.kernel_density_batch(queries)):
        with pytest.raises(error, match=text):
            call()


@pytest.mark.parametrize("workers, error", [(0, ValueError), (-2, ValueError), (2**70, OverflowError),
                                            ("2", TypeError)])
def test_workers_errors(workers, error):
    tree, *_ = case("ball", "euclidean")
    match = "workers must be a positive integer or -1" if error is ValueError else None
    with pytest.raises(error, match=match):
        tree.query_knn_batch([[0.0] * DIM], 1, workers=workers)
    with pytest.raises(TypeError):
        tree.query_knn_batch([[0.0] * DIM])
    with pytest.raises(OverflowError):
        tree.query_knn_batch([[0.0] * DIM], -1)


@pytest.mark.parametrize("cls", list(TREES.values()))
def test_text_signatures(cls):
    assert cls.query_knn_batch.__text_signature__ == "($self, queries, k, workers=1)"
    assert cls.query_radius_batch.__text_signature__ == "($self, queries, radius, workers=1, count_only=False)"
    assert cls.kernel_density_batch.__text_signature__ == (
        '($self, queries=None, bandwidth=1.0, kernel="gaussian", criterion="none", min_samples=None, '
        'max_span=None, workers=1)')


def test_lock_released_and_queries_borrowed():
    rng = np.random.default_rng(0)
    tree = spatial.KDTree.from_array(kestrum.Array.from_numpy(rng.random((20000, 3))))
    queries = kestrum.Array.from_numpy(rng.random((3000, 3)))
    started, done, seen = threading.Event(), threading.Event(), {"ticks": 0, "refused": False}

    def long_call():
        started.set()
        tree.kernel_density_batch(queries, 2.0)  # every point contributes: a long walk
        done.set()

    worker = threading.Thread(target=long_call)
    worker.start()
    started.wait()
    while not done.is_set():
        seen["ticks"] += 1
        try:
            queries[0, 0] = 0.5
        except RuntimeError:
            seen["refused"] = True
        time.sleep(0.001)
    worker.join()
    assert seen["ticks"] > 5 and seen["refused"]
    # The same tree from two threads at once answers as from one.
    results = [None, None]
    threads = [threading.Thread(target=lambda i=i: results.__setitem__(i, tree.query_knn_batch(queries, 3)[0].tolist()))
               for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results[0] == results[1] == tree.query_knn_batch(queries, 3)[0].tolist()


INTERRUPTED = """
import os, signal, threading, time, kestrum
from kestrum import spatial
tree = spatial.BallTree.from_array(kestrum.random.Generator.from_seed(1).uniform(0, 1, [20000, 3]))
queries = kestrum.random.Generator.from_seed(2).uniform(0, 1, [200000, 3])
threading.Timer(0.5, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
start = time.perf_counter()
try:
    tree.kernel_density_batch(queries, 1.0, workers={workers})
except KeyboardInterrupt:
    print(time.perf_counter() - start)
"""


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
@pytest.mark.parametrize("workers", [1, -1])
def test_ctrl_c_stops_a_long_batch(workers):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", INTERRUPTED.format(workers=workers)], capture_output=True,
                         text=True, env=env, timeout=120)
    assert out.stdout.strip(), out.stderr
    assert float(out.stdout) < 5.0  # the whole call would take minutes
