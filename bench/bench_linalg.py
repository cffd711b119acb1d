"""Linear algebra next to NumPy (single-threaded BLAS/LAPACK): products, views, factorisations."""
import sys

from common import Case, main

import numpy as np

import kestrum

L = kestrum.linalg
rng = np.random.default_rng(0)


def pair(shape):
    x = rng.standard_normal(shape)
    return kestrum.Array(list(shape), x.ravel().tolist()), x


CASES = []

for n, goal in ((8, 1.0), (64, 1.0), (128, None), (256, None), (512, 0.8)):
    a, x = pair((n, n))
    b, y = pair((n, n))
    CASES.append(Case("linalg", f"matmul {n}x{n} @ {n}x{n}", lambda a=a, b=b: a @ b, lambda x=x, y=y: x @ y,
                      "numpy @", goal=goal))

for m, k, n in ((500, 300, 20), (20, 300, 500), (1000, 1000, 1)):
    a, x = pair((m, k))
    b, y = pair((k, n) if n > 1 else (k,))
    CASES.append(Case("linalg", f"matmul {m}x{k} @ {k}x{n}", lambda a=a, b=b: a @ b, lambda x=x, y=y: x @ y,
                      "numpy @"))

v, xv = pair((1000,))
w, xw = pair((1000,))
CASES += [
    Case("linalg", "dot 1000", lambda: L.dot(v, w), lambda: np.dot(xv, xw), "numpy.dot"),
    Case("linalg", "outer 1000x1000", lambda: L.outer(v, w), lambda: np.outer(xv, xw), "numpy.outer"),
]

t, xt = pair((1000, 700))
CASES += [
    Case("linalg", "transpose 1000x700 (copy)", lambda: t.t(), lambda: np.ascontiguousarray(xt.T),
         "ascontiguousarray(x.T)"),
    Case("linalg", "diagonal 1000x700", lambda: t.diagonal(1), lambda: np.diagonal(xt, 1).copy(),
         "numpy.diagonal().copy()"),
]

for n in (16, 64, 200):
    a, x = pair((n, n))
    s = x @ x.T + n * np.eye(n)
    spd = kestrum.Array([n, n], s.ravel().tolist())
    CASES += [
        Case("linalg", f"qr {n}x{n}", lambda a=a: L.qr(a), lambda x=x: np.linalg.qr(x), "numpy.linalg.qr"),
        Case("linalg", f"cholesky {n}x{n}", lambda a=spd: L.cholesky(a), lambda s=s: np.linalg.cholesky(s),
             "numpy.linalg.cholesky"),
    ]

# Symmetric inputs so that eigh is a fair peer; the unshifted iteration runs to its limit or tolerance.
for n in (8, 64):
    x = rng.standard_normal((n, n))
    s = x + x.T
    sym = kestrum.Array([n, n], s.ravel().tolist())
    CASES += [
        Case("linalg", f"eig {n}x{n} symmetric (1000 iter max)", lambda a=sym: L.eig(a),
             lambda s=s: np.linalg.eigh(s), "numpy.linalg.eigh"),
        Case("linalg", f"eig_with_params {n}x{n}, 10 iter", lambda a=sym: L.eig_with_params(a, 10),
             lambda s=s: np.linalg.eigh(s), "numpy.linalg.eigh"),
    ]

if __name__ == "__main__":
    if len(sys.argv) > 1:
        CASES = [c for c in CASES if any(f in c.name for f in sys.argv[1:])]
    main(CASES)
