"""Calls every public entry many times, on success and failure paths alike, and reports whether
memory stays flat.

Three meters, read after a warm-up and again after the measured rounds:
- tracemalloc: bytes held by Python objects (a leaked float, list, Array object or exception);
- the C heap in use (glibc mallinfo2): array storage and every C++ container the module allocates;
- reference counts of the argument objects (a missing Py_DECREF on an argument).

Run: cd bench && PYTHONPATH=../build/dev python leaks.py [rounds]
The fast test tests/test_reliability_leaks.py runs the same scenarios with fewer rounds.
"""
import ctypes
import gc
import math
import sys
import tracemalloc

import kestrum
from kestrum import linalg, random, spatial, stats


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def _heap_meter():
    try:
        libc = ctypes.CDLL("libc.so.6")
        fn = libc.mallinfo2
    except (OSError, AttributeError):
        return None
    fn.restype = _MallInfo2

    def in_use():
        info = fn()
        return info.uordblks + info.hblkhd

    return in_use


heap_in_use = _heap_meter()


def _swallow(call):
    def run():
        try:
            call()
        except BaseException:  # failure paths are part of the workload
            pass
    return run


class _Busy:
    """A value whose conversion reads the array being written (RuntimeError path)."""

    def __init__(self, target):
        self.target = target

    def __float__(self):
        repr(self.target)
        return 1.0


def _built(area):
    if area == "stats":
        try:
            stats.sum(kestrum.Array([1], [1.0]))
            return True
        except NotImplementedError:
            return False
    if area == "spatial":
        return hasattr(spatial.KDTree, "from_array")
    return True


def scenarios():
    """(name, arguments to watch, zero-argument call) for every entry and its failure paths."""
    m = kestrum.Array([3, 3], [4.0, 1.0, 0.5, 1.0, 3.0, 0.25, 0.5, 0.25, 2.0])
    v = kestrum.Array([3], [1.0, -2.0, 0.5])
    w = kestrum.Array([2], [1.0, 2.0])
    data = [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]
    shape = [2, 3]
    mixed = [1, 2.5, True]
    try:
        import numpy as np
        nd, strided, ints = np.arange(6.0).reshape(2, 3), np.arange(8.0)[::2], np.arange(3)
    except ImportError:  # pragma: no cover
        nd = strided = ints = None
    g = random.seed(5)
    out = [
        ("Array", [shape, data], lambda: kestrum.Array(shape, data)),
        ("Array mixed items", [mixed], lambda: kestrum.Array([3], mixed)),
        ("Array length mismatch", [data], lambda: kestrum.Array([4], data)),
        ("Array bad data", [], lambda: kestrum.Array([2], "ab")),
        ("Array missing argument", [], lambda: kestrum.Array([2])),
        ("asarray", [data], lambda: kestrum.asarray(data, shape=shape)),
        ("asarray of Array", [m], lambda: kestrum.asarray(m)),
        ("asarray union failure", [], lambda: kestrum.asarray([[1.0]])),
        ("zeros/ones/full", [shape], lambda: (kestrum.zeros(shape), kestrum.ones(shape), kestrum.full(shape, 2.0))),
        ("zeros capacity overflow", [], lambda: kestrum.zeros([2**62])),
        ("zeros too large", [], lambda: kestrum.zeros([2**40, 2**40])),
        ("zeros out of memory", [], lambda: kestrum.zeros([2**42])),
        ("eye/diag", [v], lambda: (kestrum.eye(3, 4, k=-1), kestrum.diag(v, k=1), kestrum.diag([1.0, 2.0]))),
        ("diag panic", [m], lambda: kestrum.diag(m)),
        ("column_stack", [m, v], lambda: kestrum.column_stack([m, v])),
        ("column_stack mismatch", [m, w], lambda: kestrum.column_stack([m, w])),
        ("column_stack empty/bad", [], lambda: (_swallow(lambda: kestrum.column_stack([]))(),
                                                kestrum.column_stack([1.0]))),
        ("arithmetic", [m, v], lambda: (m + v, m - 1.0, 2.0 * m, 1.0 / v, -m, v * True)),
        ("arithmetic unsupported", [m], lambda: m + "x"),
        ("broadcast panic", [v, w], lambda: v + w),
        ("math", [m], lambda: [getattr(m, f)() for f in ("abs", "sign", "sqrt", "exp", "log", "sin", "cos", "tan",
                                                        "arcsin", "arccos", "arctan")]),
        ("clip", [m], lambda: m.clip(0.5, 2.0)),
        ("clip bad argument", [m], lambda: m.clip("a", 1.0)),
        ("indexing", [m], lambda: (m[1], m[1, 2], m[-1, -1], m[()], m[1:7:2], m[::-1], 2.0 in m)),
        ("indexing failures", [m], lambda: [_swallow(f)() for f in (lambda: m[5], lambda: m[0, 9],
                                                                     lambda: m[None], lambda: m[0, 0, 0],
                                                                     lambda: m[0, 1:2])]),
        ("assignment", [m], lambda: (m.__setitem__((0, 0), 4.0), v.__setitem__(-1, 0.5))),
        ("assignment failures", [m], lambda: [_swallow(f)() for f in (
            lambda: m.__setitem__(0, 1.0), lambda: m.__setitem__((0,), 1.0), lambda: m.__setitem__(0.5, 1.0),
            lambda: m.__setitem__((0, 0), "x"), lambda: m.__delitem__(0))]),
        ("assignment borrow conflict", [v], lambda: v.__setitem__(0, _Busy(v))),
        ("get/take", [m], lambda: (m.get([1, 1]), m.take([0, 8, 8]))),
        ("get/take failures", [m], lambda: (_swallow(lambda: m.get([3, 0]))(), _swallow(lambda: m.take([9]))(),
                                            m.get([-1]))),
        ("tolist/iter/repr", [m], lambda: (m.tolist(), list(m), repr(m), m.shape, len(m),
                                           m.to_pylist_recursive(1, 3))),
        ("to_pylist_recursive panic", [m], lambda: m.to_pylist_recursive(1, 8)),
        ("linalg products", [m, v], lambda: (m @ m, m.dot(v), linalg.matmul(v, m), linalg.outer(v, [1.0, 2.0]),
                                             m.t(), linalg.transpose(m), m.diagonal(1), linalg.diagonal(m, -1))),
        ("linalg product panics", [m, w], lambda: (_swallow(lambda: m @ w)(), _swallow(lambda: linalg.outer(m, w))(),
                                                   _swallow(lambda: linalg.transpose(w))(), linalg.diagonal(w))),
        ("qr/cholesky", [m], lambda: (linalg.qr(m), linalg.cholesky(m))),
        ("cholesky failures", [m, w], lambda: (_swallow(lambda: linalg.cholesky(-m))(), linalg.cholesky(w))),
        ("eig", [m], lambda: (linalg.eig(m), linalg.eigvals(m), linalg.eig_with_params(m, max_iter=3, tol=0.1))),
        ("eig failures", [w], lambda: (_swallow(lambda: linalg.eig(w))(),
                                       linalg.eig_with_params(kestrum.Array([2, 2], [math.nan, 1.0, 1.0, 1.0]), 5))),
        ("random", [shape], lambda: (g.uniform(0.0, 1.0, shape), g.randint(-5, 5, shape), g.standard_normal(shape),
                                     g.normal(1.0, 2.0, shape), g.lognormal(0.0, 1.0, shape),
                                     g.gamma(0.5, 2.0, shape), g.beta(2.0, 0.5, shape))),
        ("random failures", [shape], lambda: [_swallow(f)() for f in (
            lambda: g.uniform(1.0, 1.0, shape), lambda: g.gamma(-1.0, 1.0, shape), lambda: g.beta(1.0, 0.0, shape),
            lambda: g.randint(0, 1, "ab"), lambda: g.normal("x", 1.0, shape), lambda: g.uniform(0.0, 1.0, [-1]))]),
        ("generators", [], lambda: (random.seed(3), random.new(), kestrum.Generator(), kestrum.Generator.from_seed(9),
                                    _swallow(lambda: random.seed(-1))())),
    ]
    if nd is not None:
        out += [
            ("numpy bridge", [m, nd], lambda: (m.to_numpy(), kestrum.Array.from_numpy(nd),
                                               kestrum.Array.from_numpy(nd.T))),
            ("numpy bridge failures", [strided, ints], lambda: (_swallow(lambda: kestrum.Array.from_numpy(strided))(),
                                                                 kestrum.Array.from_numpy(ints))),
        ]
    if _built("stats"):
        q = kestrum.Array([3], [0.0, 0.5, 1.0])
        out += [
            ("stats", [m, q], lambda: (stats.sum(m), stats.mean(m), stats.var(m), stats.std(m), stats.median(m),
                                       stats.quantile(m, 0.3), stats.quantile(m, q), stats.any(m), stats.all(m),
                                       m.sum(), m.median(), m.quantile(q), stats.pearson(v, v),
                                       stats.spearman(v, v))),
            ("stats failures", [m, v, w], lambda: [_swallow(f)() for f in (
                lambda: stats.quantile(m, 2.0), lambda: stats.pearson(v, w), lambda: stats.spearman(m, m),
                lambda: stats.sum([1.0]), lambda: m.quantile([0.5]))]),
        ]
    if _built("spatial"):
        pts = kestrum.Array([6, 2], [0.0, 0.0, 1.0, 0.0, 0.0, 1.0, 1.0, 1.0, 5.0, 5.0, 2.0, 3.0])
        for name in ("KDTree", "BallTree", "VPTree"):
            cls = getattr(spatial, name)
            tree = cls.from_array(pts, leaf_size=2 if name != "VPTree" else 3)
            out += [
                (f"{name}", [pts], (lambda c, t: lambda: (
                    c.from_array(pts), c.from_array(pts, metric="manhattan"), t.query_knn([0.5, 0.5], 3),
                    t.query_radius(pts.take([0, 1]), 2.0), t.kernel_density(), t.kernel_density(pts, 0.5, "uniform"),
                    t.kernel_density_approx(None, 1.0, "epanechnikov", "combined", 2, 1.0)))(cls, tree)),
                (f"{name} failures", [pts], (lambda c, t: lambda: [_swallow(f)() for f in (
                    lambda: c.from_array(pts, metric="cosine"), lambda: c.from_array(v),
                    lambda: t.query_knn("ab", 1), lambda: t.query_knn([1.0, 2.0, 3.0], 2),
                    lambda: t.kernel_density([[1.0, 2.0]]), lambda: t.kernel_density(w.take([0, 1, 0])),
                    lambda: t.kernel_density_approx(criterion="max_span"),
                    lambda: t.kernel_density_approx(kernel="box"), lambda: t.query_radius(None, 1.0))])(cls, tree)),
            ]
    out += _travel_scenarios(m, g, spatial.KDTree.from_array(m) if _built("spatial") else None)
    return out


def _travel_scenarios(m, g, tree):
    """Pickling and copying of every kind of object, out-of-band buffers, buffer export, and states
    that fail to load."""
    import copy
    import pickle

    objects = [m, g] + ([tree, spatial.BallTree.from_array(m), spatial.VPTree.from_array(m, 3, "euclidean", "random")]
                        if tree is not None else [])
    state = pickle.dumps(tree if tree is not None else m, protocol=4)

    def out_of_band():
        buffers = []
        data = pickle.dumps(m, protocol=5, buffer_callback=buffers.append)
        return pickle.loads(data, buffers=buffers)

    return [
        ("pickle and copy", objects, lambda: [f(o) for o in objects for f in (
            lambda o: pickle.loads(pickle.dumps(o, protocol=2)), lambda o: pickle.loads(pickle.dumps(o, protocol=5)),
            copy.copy, copy.deepcopy)]),
        ("pickle out of band", [m], out_of_band),
        ("buffer export", [m], lambda: (memoryview(m).tobytes(), bytes(m), memoryview(m)[1:].tolist())),
        ("restore failures", [], lambda: [_swallow(f)() for f in (
            lambda: pickle.loads(state[:-9]), lambda: pickle.loads(state.replace(b"kestrumT", b"kestrumX")),
            lambda: kestrum._restore_array(b"abc", [2]), lambda: kestrum._restore_array(b"", "x"),
            lambda: kestrum._restore_generator(0, 0, 0, 0), lambda: kestrum._restore_tree([1.0]))]),
    ]


def measure(call, watched, rounds, warmup=30):
    """Growth of (Python bytes, C heap bytes, argument reference counts) over `rounds` calls."""
    run = _swallow(call)
    for _ in range(warmup):
        run()
    gc.collect()
    refs = [sys.getrefcount(x) for x in watched]
    py_before = tracemalloc.get_traced_memory()[0]
    heap_before = heap_in_use() if heap_in_use else 0
    for _ in range(rounds):
        run()
    gc.collect()
    heap_after = heap_in_use() if heap_in_use else 0
    py_after = tracemalloc.get_traced_memory()[0]
    after = [sys.getrefcount(x) for x in watched]
    ref_growth = max((b - a for a, b in zip(refs, after)), default=0)
    return py_after - py_before, heap_after - heap_before, ref_growth


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def main(rounds=2000):
    tracemalloc.start()
    rss_before = rss_bytes()
    print(f"{'scenario':32} {'python B/call':>14} {'C heap B/call':>14} {'ref growth':>10}")
    worst = 0.0
    for name, watched, call in scenarios():
        py, heap, refs = measure(call, watched, rounds)
        worst = max(worst, py / rounds, heap / rounds)
        print(f"{name:32} {py / rounds:14.3f} {heap / rounds:14.3f} {refs:10d}")
    print(f"RSS growth over the whole run: {(rss_bytes() - rss_before) / 2**20:.1f} MiB; "
          f"worst growth {worst:.3f} B/call")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 2000)
