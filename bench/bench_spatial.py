"""Spatial indexes next to scipy.spatial.cKDTree and sklearn.neighbors.KDTree / BallTree:
10^5 points in 3-D, 10^4 queries (200 for densities, and 10^3 for one exact Gaussian case), leaf size
20 everywhere.

Our query methods take one point per call, so the k-NN and radius cases time a Python loop of
10^4 calls against the peer's single batched call (what a user of either library would write);
the "(loop)" cases time the peer through the same kind of Python loop."""
from common import Case, main

import numpy as np
from scipy.spatial import cKDTree
from sklearn.neighbors import BallTree as SkBallTree
from sklearn.neighbors import KDTree as SkKDTree

import kestrum
from kestrum import spatial

N, D, Q, QK = 10**5, 3, 10**4, 200
LEAF = 20
rng = np.random.default_rng(0)
X = rng.random((N, D))
QX = rng.random((Q, D))
QK_X = QX[:QK]

points = kestrum.Array([N, D], X.ravel().tolist())
queries = QX.tolist()
density_queries = kestrum.Array([QK, D], QK_X.ravel().tolist())
QD_X = QX[:1000]
density_queries_1e3 = kestrum.Array.from_numpy(QD_X)

kd = spatial.KDTree.from_array(points, LEAF)
ball = spatial.BallTree.from_array(points, LEAF)
vp = spatial.VPTree.from_array(points, LEAF)
ckd = cKDTree(X, leafsize=LEAF)
skd = SkKDTree(X, leaf_size=LEAF)
sball = SkBallTree(X, leaf_size=LEAF)

R = 0.05  # about 50 neighbours per query
H = 0.05


def knn_loop(tree, k):
    return lambda: [tree.query_knn(q, k) for q in queries]


def radius_loop(tree, r):
    return lambda: [tree.query_radius(q, r) for q in queries]


CASES = [
    Case("spatial", "KDTree build 1e5x3", lambda: spatial.KDTree.from_array(points, LEAF),
         lambda: cKDTree(X, leafsize=LEAF), "cKDTree", goal=1.0),
    Case("spatial", "KDTree build 1e5x3 (sklearn)", lambda: spatial.KDTree.from_array(points, LEAF),
         lambda: SkKDTree(X, leaf_size=LEAF), "sklearn KDTree", goal=1.0),
    Case("spatial", "BallTree build 1e5x3", lambda: spatial.BallTree.from_array(points, LEAF),
         lambda: SkBallTree(X, leaf_size=LEAF), "sklearn BallTree", goal=1.0),
    Case("spatial", "VPTree build 1e5x3", lambda: spatial.VPTree.from_array(points, LEAF),
         lambda: SkBallTree(X, leaf_size=LEAF), "sklearn BallTree"),
    Case("spatial", "VPTree build 1e5x3 random", lambda: spatial.VPTree.from_array(points, LEAF, "euclidean", "random"),
         lambda: SkBallTree(X, leaf_size=LEAF), "sklearn BallTree"),

    Case("spatial", "KDTree knn k=10 x1e4", knn_loop(kd, 10), lambda: ckd.query(QX, 10), "cKDTree batch", goal=1.0),
    Case("spatial", "KDTree knn k=10 x1e4 (sklearn)", knn_loop(kd, 10), lambda: skd.query(QX, 10),
         "sklearn KDTree batch", goal=1.0),
    Case("spatial", "KDTree knn k=1 x1e4", knn_loop(kd, 1), lambda: ckd.query(QX, 1), "cKDTree batch", goal=1.0),
    Case("spatial", "KDTree knn k=10 x1e4 (loop)", knn_loop(kd, 10), lambda: [ckd.query(q, 10) for q in QX],
         "cKDTree loop", goal=1.0),
    Case("spatial", "BallTree knn k=10 x1e4", knn_loop(ball, 10), lambda: sball.query(QX, 10),
         "sklearn BallTree batch", goal=1.0),
    Case("spatial", "VPTree knn k=10 x1e4", knn_loop(vp, 10), lambda: sball.query(QX, 10), "sklearn BallTree batch"),

    Case("spatial", "KDTree radius r=0.05 x1e4", radius_loop(kd, R), lambda: ckd.query_ball_point(QX, R),
         "cKDTree batch", goal=1.0),
    Case("spatial", "KDTree radius r=0.05 x1e4 (sklearn)", radius_loop(kd, R), lambda: skd.query_radius(QX, R),
         "sklearn KDTree batch", goal=1.0),
    Case("spatial", "BallTree radius r=0.05 x1e4", radius_loop(ball, R), lambda: sball.query_radius(QX, R),
         "sklearn BallTree batch", goal=1.0),
    Case("spatial", "VPTree radius r=0.05 x1e4", radius_loop(vp, R), lambda: sball.query_radius(QX, R),
         "sklearn BallTree batch"),

    Case("spatial", "KDTree kde gaussian h=0.05 x200", lambda: kd.kernel_density(density_queries, H),
         lambda: skd.kernel_density(QK_X, H, kernel="gaussian", rtol=1e-8), "sklearn KDTree rtol=1e-8", goal=1.0),
    Case("spatial", "BallTree kde gaussian h=0.05 x200", lambda: ball.kernel_density(density_queries, H),
         lambda: sball.kernel_density(QK_X, H, kernel="gaussian", rtol=1e-8), "sklearn BallTree rtol=1e-8",
         goal=1.0),
    Case("spatial", "VPTree kde gaussian h=0.05 x200", lambda: vp.kernel_density(density_queries, H),
         lambda: sball.kernel_density(QK_X, H, kernel="gaussian", rtol=1e-8), "sklearn BallTree rtol=1e-8"),
    Case("spatial", "KDTree kde gaussian h=0.05 x1e3", lambda: kd.kernel_density(density_queries_1e3, H),
         lambda: skd.kernel_density(QD_X, H, kernel="gaussian", rtol=1e-8), "sklearn KDTree rtol=1e-8", goal=1.0),
    Case("spatial", "KDTree kde epanechnikov h=0.1 x200",
         lambda: kd.kernel_density(density_queries, 0.1, "epanechnikov"),
         lambda: skd.kernel_density(QK_X, 0.1, kernel="epanechnikov"), "sklearn KDTree exact", goal=1.0),
    Case("spatial", "KDTree kde approx max_span=0.05 x200",
         lambda: kd.kernel_density_approx(density_queries, H, "gaussian", "max_span", None, 0.05),
         lambda: skd.kernel_density(QK_X, H, kernel="gaussian", rtol=1e-2), "sklearn KDTree rtol=1e-2"),
    Case("spatial", "BallTree kde approx max_span=0.05 x200",
         lambda: ball.kernel_density_approx(density_queries, H, "gaussian", "max_span", None, 0.05),
         lambda: sball.kernel_density(QK_X, H, kernel="gaussian", rtol=1e-2), "sklearn BallTree rtol=1e-2"),
]

if __name__ == "__main__":
    main(CASES)
