"""Per-call overhead of the Array type next to NumPy: construction, repr, a trivial call."""
from common import Case, main

import numpy as np

import kestrum

CASES = []
for n in (10, 1000):
    data = [float(i) for i in range(n)]
    a = kestrum.Array([n], data)
    x = np.array(data)
    CASES += [
        Case("core", f"Array([n], list) n={n}", lambda d=data, n=n: kestrum.Array([n], d),
             lambda d=data: np.array(d), "numpy.array(list)", goal=1.0),
        Case("core", f"repr n={n}", lambda a=a: repr(a), lambda x=x: repr(x), "repr(ndarray)"),
    ]
small = kestrum.Array([3], [1, 2, 3])
small_np = np.array([1.0, 2.0, 3.0])
CASES += [
    Case("core", "a.shape (trivial attribute)", lambda: small.shape, lambda: small_np.shape, "ndarray.shape",
         goal=1.0),
    Case("core", "asarray(list of 3)", lambda: kestrum.asarray([1.0, 2.0, 3.0]),
         lambda: np.asarray([1.0, 2.0, 3.0]), "numpy.asarray", goal=1.0),
]

if __name__ == "__main__":
    main(CASES)
