"""Pickling next to building and next to NumPy / scikit-learn pickling of the same data.

A 10^6 x 3 KDTree (leaf size 20): loading its pickle against building it (goal: 10x faster), and
dumping/loading against scikit-learn's KDTree of the same points. Its pickle size, relative to the
bytes of its points plus its row numbers (goal: below 1.5), is part of the case names. A 10^6-element
Array at protocol 5, in band and out of band, against the ndarray of the same data (goal: within 1.5x,
that is a speedup of at least 0.67). Loading an Array copies its elements into storage the Array owns,
where NumPy wraps the bytes the unpickler made (in band) or the buffer it is given (out of band, where
NumPy copies nothing at all); the copy's cost is mostly first-touch page faults of the fresh
allocation."""
import pickle

from common import Case, main

import numpy as np
from sklearn.neighbors import KDTree as SkKDTree

import kestrum

N, D, LEAF = 10**6, 3, 20
X = np.random.default_rng(0).random((N, D))
points = kestrum.Array.from_numpy(X)

kd = kestrum.KDTree.from_array(points, LEAF)
kd_pickle = pickle.dumps(kd, protocol=5)
SIZE = len(kd_pickle) / (N * D * 8 + N * 8)
skd = SkKDTree(X, leaf_size=LEAF)
skd_pickle = pickle.dumps(skd, protocol=5)

flat = kestrum.Array.from_numpy(X.ravel())
flat_np = X.ravel().copy()
flat_pickle = pickle.dumps(flat, protocol=5)
flat_np_pickle = pickle.dumps(flat_np, protocol=5)


def out_of_band_dumps(obj):
    def run():
        buffers = []
        return pickle.dumps(obj, protocol=5, buffer_callback=buffers.append), buffers
    return run


def out_of_band_loads(obj):
    data, buffers = out_of_band_dumps(obj)()
    return lambda: pickle.loads(data, buffers=buffers)


MEMORY_SPEED = 1 / 1.5

CASES = [
    Case("pickling", f"KDTree 1e6x3 loads (size {SIZE:.2f}x pts+idx)", lambda: pickle.loads(kd_pickle),
         lambda: kestrum.KDTree.from_array(points, LEAF), "building it", goal=10.0),
    Case("pickling", "KDTree 1e6x3 loads (sklearn)", lambda: pickle.loads(kd_pickle),
         lambda: pickle.loads(skd_pickle), "sklearn KDTree loads"),
    Case("pickling", "KDTree 1e6x3 dumps p5 (sklearn)", lambda: pickle.dumps(kd, protocol=5),
         lambda: pickle.dumps(skd, protocol=5), "sklearn KDTree dumps"),
    Case("pickling", "Array 1e6 dumps p5", lambda: pickle.dumps(flat, protocol=5),
         lambda: pickle.dumps(flat_np, protocol=5), "ndarray", goal=MEMORY_SPEED),
    Case("pickling", "Array 1e6 loads p5", lambda: pickle.loads(flat_pickle),
         lambda: pickle.loads(flat_np_pickle), "ndarray", goal=MEMORY_SPEED),
    Case("pickling", "Array 1e6 out-of-band dumps p5", out_of_band_dumps(flat), out_of_band_dumps(flat_np),
         "ndarray", goal=MEMORY_SPEED),
    # One copy into the Array's own storage against NumPy's wrapping of the buffer: no goal.
    Case("pickling", "Array 1e6 out-of-band loads p5", out_of_band_loads(flat), out_of_band_loads(flat_np),
         "ndarray"),
    Case("pickling", "Generator round trip", lambda: pickle.loads(pickle.dumps(kestrum.random.seed(1))),
         lambda: pickle.loads(pickle.dumps(np.random.default_rng(1))), "numpy Generator"),
]

if __name__ == "__main__":
    main(CASES)
