"""Builds the module with AddressSanitizer + UndefinedBehaviorSanitizer (scripts/dev-build asan,
the same build scripts/sanitize uses) and runs a short workload touching every area in a
subprocess with the sanitizer runtimes preloaded. Any out-of-bounds access, use after free or
undefined behaviour aborts that process with a report. Skips when no compiler toolchain is there.

Run as a script (python tests/test_sanitizer_smoke.py) it is the workload itself.
"""
import math
import os
import subprocess
import sys

import pytest

from support import ROOT, build_variant, gcc_runtime


@pytest.mark.skipif(bool(os.environ.get("KESTRUM_SANITIZED")), reason="already running under the sanitizers")
def test_every_area_runs_clean_under_the_sanitizers():
    asan, ubsan = gcc_runtime("libasan.so"), gcc_runtime("libubsan.so")
    if not (asan and ubsan):
        pytest.skip("sanitizer runtimes not found")
    build = build_variant("asan", "-DKESTRUM_SANITIZE=ON")
    env = dict(os.environ)
    env.update(
        LD_PRELOAD=f"{asan} {ubsan}",
        ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:halt_on_error=1:detect_odr_violation=0",
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1",
        PYTHONPATH=build,
        KESTRUM_SANITIZED="1",
    )
    run = subprocess.run([sys.executable, os.path.abspath(__file__)], cwd=ROOT, env=env, capture_output=True,
                         text=True, timeout=300)
    report = run.stdout[-2000:] + run.stderr[-6000:]
    assert "ERROR: AddressSanitizer" not in run.stderr and "runtime error:" not in run.stderr, report
    assert run.returncode == 0, report
    assert "smoke: all areas done" in run.stdout, report


# ---- the workload -------------------------------------------------------------------------------

SPECIAL = [0.0, -0.0, 1.5, -2.0, math.inf, -math.inf, math.nan, 5e-324, 1e308, -1e-300]


def _attempt(fn):
    try:
        return fn()
    except (TypeError, ValueError, OverflowError, RuntimeError, NotImplementedError, MemoryError):
        return None
    except BaseException as e:  # PanicException is not a module attribute
        if type(e).__name__ != "PanicException":
            raise
        return None


def _values(rng, n):
    return [rng.choice(SPECIAL) if rng.random() < 0.3 else rng.uniform(-10, 10) for _ in range(n)]


def _workload():
    import random as pyrandom

    import kestrum
    from kestrum import linalg, random, spatial, stats

    rng = pyrandom.Random(1234)
    shapes = [[], [0], [1], [5], [2, 3], [3, 1], [1, 4], [0, 3], [2, 2, 2], [2**61, 0]]

    def array(shape):
        return kestrum.Array(shape, _values(rng, math.prod(shape)))

    # array core: construction, arithmetic under broadcasting, math, indexing, conversion
    for _ in range(30):
        a, b = array(rng.choice(shapes)), array(rng.choice(shapes))
        for op in (lambda: a + b, lambda: a - b, lambda: a * b, lambda: a / b, lambda: -a, lambda: 2.0 - a,
                   lambda: a.clip(-1.0, 1.0), lambda: a.sqrt().log().exp().arcsin(), lambda: a.tolist(),
                   lambda: list(a), lambda: repr(a), lambda: a[::-1], lambda: a[0], lambda: a[0, 0], lambda: a[()],
                   lambda: a.take([0, 1]), lambda: a.get([0]), lambda: 1.5 in a, lambda: a.to_numpy(),
                   lambda: kestrum.Array.from_numpy(a.to_numpy()), lambda: a.to_pylist_recursive(0, 1),
                   lambda: kestrum.asarray(a), lambda: kestrum.diag(a, k=-1), lambda: kestrum.column_stack([a, b])):
            _attempt(op)
        _attempt(lambda: a.__setitem__((0,) * len(a.shape), 3.0))
        _attempt(lambda: a.__setitem__(-1, 2.0))
    for make in (lambda: kestrum.zeros([2**62]), lambda: kestrum.ones([2**42]), lambda: kestrum.eye(3, 5, k=-2),
                 lambda: kestrum.full([2, 2], math.nan), lambda: kestrum.Array([2], ["x", 1])):
        _attempt(make)

    # linear algebra
    for n in (0, 1, 2, 3, 5):
        m = array([n, n])
        sym = kestrum.Array([n, n], [1.0 + (i == j) * n for i in range(n) for j in range(n)]) if n else m
        for op in (lambda: m @ m, lambda: linalg.dot(m, m), lambda: linalg.transpose(m), lambda: linalg.qr(m),
                   lambda: linalg.cholesky(sym), lambda: linalg.cholesky(m), lambda: linalg.eig(sym),
                   lambda: linalg.eig_with_params(m, 20, 1e-8), lambda: linalg.eigvals(sym),
                   lambda: linalg.diagonal(m, 1), lambda: linalg.outer(m.diagonal(), [1.0, 2.0]),
                   lambda: linalg.qr(array([n, n + 2])), lambda: linalg.qr(array([n + 2, n])),
                   lambda: m @ array([n + 1])):
            _attempt(op)

    # statistics, including NaN in sorts and ranks
    for shape in shapes:
        a = array(shape)
        for op in (lambda: stats.sum(a), lambda: stats.var(a), lambda: stats.median(a),
                   lambda: stats.quantile(a, 0.3), lambda: stats.quantile(a, kestrum.Array([3], [0.0, 0.5, 1.0])),
                   lambda: stats.quantile(a, math.nan), lambda: stats.any(a), lambda: stats.all(a),
                   lambda: stats.pearson(a, a), lambda: stats.spearman(a, a), lambda: a.median(), lambda: a.std()):
            _attempt(op)

    # random sampling
    g = random.seed(42)
    for op in (lambda: g.uniform(0.0, 1.0, [7]), lambda: g.randint(-(2**63), 2**63 - 1, [5]),
               lambda: g.standard_normal([3, 3]), lambda: g.normal(1.0, 2.0, []), lambda: g.lognormal(0.0, 1.0, [4]),
               lambda: g.gamma(0.3, 2.0, [6]), lambda: g.gamma(1e308, 1.0, [2]), lambda: g.beta(0.5, 0.5, [6]),
               lambda: g.uniform(1.0, 1.0, [2]), lambda: g.gamma(math.nan, 1.0, [1]),
               lambda: g.standard_normal([2**61]), lambda: random.new().uniform(0.0, 1.0, [2])):
        _attempt(op)

    # spatial indexes, including NaN coordinates and every option
    for cls in ("KDTree", "BallTree", "VPTree"):
        tree_cls = getattr(spatial, cls, None)
        if tree_cls is None or not hasattr(tree_cls, "from_array"):
            continue
        for n, dim in ((0, 2), (1, 2), (7, 2), (40, 3), (5, 0)):
            pts = kestrum.Array([n, dim], _values(rng, n * dim))
            for leaf in (1, 3, 20):
                for metric in ("euclidean", "manhattan", "chebyshev"):
                    tree = _attempt(lambda: tree_cls.from_array(pts, leaf_size=leaf, metric=metric))
                    if tree is None:
                        continue
                    q = _values(rng, dim)
                    for op in (lambda: tree.query_knn(q, 3), lambda: tree.query_knn(q, 10**6),
                               lambda: tree.query_radius(q, 2.5), lambda: tree.query_knn(q + [1.0], 2),
                               lambda: tree.query_knn(q[:-1], 2), lambda: tree.kernel_density(),
                               lambda: tree.kernel_density(pts, 0.5, "triangular"),
                               lambda: tree.kernel_density_approx(None, 1.0, "gaussian", "combined", 2, 0.5),
                               lambda: tree.kernel_density_approx(None, 2.0, "epanechnikov", "min_samples", 0)):
                        _attempt(op)
    print("smoke: all areas done")


if __name__ == "__main__":
    _workload()
