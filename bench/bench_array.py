"""Array arithmetic, element-wise math, indexing and conversions next to NumPy, 10^6 float64."""
from common import Case, main

import numpy as np

import kestrum

N = 1_000_000
rng = np.random.default_rng(7)
xa, xb = rng.standard_normal(N), rng.standard_normal(N)
a = kestrum.Array.from_numpy(xa)
b = kestrum.Array.from_numpy(xb)
xm, xrow = rng.standard_normal((1000, 1000)), rng.standard_normal(1000)
m, row = kestrum.Array.from_numpy(xm), kestrum.Array.from_numpy(xrow)
xcol = rng.standard_normal((1000, 1))
col = kestrum.Array.from_numpy(xcol)
xpos = np.abs(xa) + 0.5
pos = kestrum.Array.from_numpy(xpos)
xsmall = np.arange(8.0)
small = kestrum.Array([8], xsmall.tolist())
xf = np.asfortranarray(xm)


def iterate(x):
    for _ in x:
        pass


CASES = [
    Case("array", "a + b", lambda: a + b, lambda: xa + xb, "ndarray +", goal=1.0),
    Case("array", "a - b", lambda: a - b, lambda: xa - xb, "ndarray -"),
    Case("array", "a / b", lambda: a / b, lambda: xa / xb, "ndarray /"),
    Case("array", "a * 2.0", lambda: a * 2.0, lambda: xa * 2.0, "ndarray * scalar", goal=1.0),
    Case("array", "2.0 - a", lambda: 2.0 - a, lambda: 2.0 - xa, "scalar - ndarray"),
    Case("array", "-a", lambda: -a, lambda: -xa, "-ndarray", goal=1.0),
    Case("array", "a + row (1000x1000 + 1000)", lambda: m + row, lambda: xm + xrow, "ndarray broadcast",
         goal=1 / 1.5),
    Case("array", "m * col (1000x1000 * 1000x1)", lambda: m * col, lambda: xm * xcol, "ndarray broadcast"),
    Case("array", "a.abs()", lambda: a.abs(), lambda: np.abs(xa), "numpy.abs", goal=1.0),
    Case("array", "a.clip(l, h)", lambda: a.clip(-0.5, 0.5), lambda: np.clip(xa, -0.5, 0.5), "numpy.clip",
         goal=1.0),
    Case("array", "a.sign()", lambda: a.sign(), lambda: np.sign(xa), "numpy.sign"),
    Case("array", "a.sqrt()", lambda: pos.sqrt(), lambda: np.sqrt(xpos), "numpy.sqrt"),
    Case("array", "a.exp()", lambda: a.exp(), lambda: np.exp(xa), "numpy.exp", goal=0.8),
    Case("array", "a.log()", lambda: pos.log(), lambda: np.log(xpos), "numpy.log", goal=0.8),
    Case("array", "a.sin()", lambda: a.sin(), lambda: np.sin(xa), "numpy.sin", goal=1.5),
    Case("array", "a.cos()", lambda: a.cos(), lambda: np.cos(xa), "numpy.cos", goal=1.5),
    Case("array", "a.tolist()", lambda: a.tolist(), lambda: xa.tolist(), "ndarray.tolist", goal=1.0),
    Case("array", "m.tolist() (1000x1000)", lambda: m.tolist(), lambda: xm.tolist(), "ndarray.tolist",
         goal=1.0),
    Case("array", "iterate a", lambda: iterate(a), lambda: iterate(xa), "iterate ndarray", goal=1.0),
    Case("array", "a.to_numpy()", lambda: m.to_numpy(), lambda: xm.copy(), "ndarray.copy", goal=1.0),
    Case("array", "Array.from_numpy(x)", lambda: kestrum.Array.from_numpy(xm), lambda: xm.copy(),
         "ndarray.copy", goal=1.0),
    Case("array", "Array.from_numpy(Fortran x)", lambda: kestrum.Array.from_numpy(xf),
         lambda: np.ascontiguousarray(xf), "numpy.ascontiguousarray"),
    Case("array", "m[500] (row copy)", lambda: m[500], lambda: xm[500].copy(), "ndarray row copy"),
    Case("array", "a[::3]", lambda: a[::3], lambda: xa[::3].copy(), "ndarray strided copy"),
    Case("array", "small[3]", lambda: small[3], lambda: xsmall[3], "ndarray item"),
    Case("array", "small[2] = 1.0", lambda: small.__setitem__(2, 1.0), lambda: xsmall.__setitem__(2, 1.0),
         "ndarray item set"),
    Case("array", "small + small", lambda: small + small, lambda: xsmall + xsmall, "ndarray + (n=8)"),
]

if __name__ == "__main__":
    main(CASES)
