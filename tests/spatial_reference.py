"""Plain-Python references for the spatial tests: distances with the same operation order as the
trees (so results compare bit for bit), brute-force searches and kernel sums."""
import math
import random

import kestrum
from kestrum import spatial

TREES = {"kd": spatial.KDTree, "ball": spatial.BallTree, "vp": spatial.VPTree}
METRICS = ["euclidean", "manhattan", "chebyshev"]
KERNELS = ["gaussian", "epanechnikov", "uniform", "triangular"]


def distance(metric, a, b):
    if metric == "euclidean":
        s = 0.0
        for x, y in zip(a, b):
            t = x - y
            s += t * t
        return math.sqrt(s)
    if metric == "manhattan":
        s = 0.0
        for x, y in zip(a, b):
            s += abs(x - y)
        return s
    m = 0.0
    for x, y in zip(a, b):
        t = abs(x - y)
        m = t if t > m else m
    return m


def kernel(name, u):
    if name == "gaussian":
        return math.exp(u * -0.5 * u)
    if name == "epanechnikov":
        return 0.75 * (1.0 - u * u) if u < 1.0 else 0.0
    if name == "uniform":
        return 0.5 if u < 1.0 else 0.0
    return 1.0 - u if u < 1.0 else 0.0


def random_points(n, dim, seed, scale=1.0):
    rng = random.Random(seed)
    return [[rng.uniform(-scale, scale) for _ in range(dim)] for _ in range(n)]


def to_array(points, dim=None):
    dim = len(points[0]) if dim is None else dim
    return kestrum.Array([len(points), dim], [x for p in points for x in p])


def knn(points, query, k, metric):
    d = sorted((distance(metric, query, p), i) for i, p in enumerate(points))
    return [i for _, i in d[:k]]


def radius(points, query, r, metric):
    return sorted(i for i, p in enumerate(points) if distance(metric, query, p) <= r)


def build(kind, points, leaf_size=20, metric="euclidean", dim=None):
    """kind: "kd", "ball", "vp", or "vp-random" (random vantage points)."""
    if kind == "vp-random":
        return spatial.VPTree.from_array(to_array(points, dim), leaf_size, metric, "random")
    return TREES[kind].from_array(to_array(points, dim), leaf_size, metric)


def storage_order(tree, dim):
    """Point indices in storage order: an unbounded radius query visits every leaf in order."""
    return tree.query_radius([0.0] * dim, math.inf)
