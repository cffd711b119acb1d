"""Spatial indexes next to scipy.spatial.cKDTree, sklearn.neighbors.BallTree and KernelDensity:
10^5 uniform points in 3-D, leaf size 16 everywhere (cKDTree's default), 10^5 uniform queries.

Queries go through the batch methods on one thread (workers=1) against the peer's batched call on
one thread; the "workers=-1" cases compare all cores against workers=1 of the same method. Builds
use the specified from_array; the k-d build runs on 10^6 points against a balanced cKDTree."""
from common import Case, main

import numpy as np
from scipy.spatial import cKDTree
from sklearn.neighbors import BallTree as SkBallTree
from sklearn.neighbors import KernelDensity

import kestrum
from kestrum import spatial

N, D, Q, QD, QP = 10**5, 3, 10**5, 10**3, 10**4
LEAF = 16
rng = np.random.default_rng(0)
X = rng.random((N, D))
QX = rng.random((Q, D))
QDX = np.ascontiguousarray(QX[:QD])  # density queries
QPX = np.ascontiguousarray(QX[:QP])  # density queries of the all-cores case
X6 = rng.random((10**6, D))

points = kestrum.Array.from_numpy(X)
points6 = kestrum.Array.from_numpy(X6)

kd = spatial.KDTree.from_array(points, LEAF)
ball = spatial.BallTree.from_array(points, LEAF)
vp = spatial.VPTree.from_array(points, LEAF)
ckd = cKDTree(X, leafsize=LEAF)
sball = SkBallTree(X, leaf_size=LEAF)

R = 0.05  # about 52 neighbours per query
H = {"gaussian": 0.05, "epanechnikov": 0.1}
sk_kde = {k: KernelDensity(bandwidth=h, kernel=k, rtol=0, atol=0, leaf_size=LEAF).fit(X) for k, h in H.items()}


def knn(tree, k, workers=1):
    return lambda: tree.query_knn_batch(QX, k, workers)


def radius(tree, workers=1, count_only=False):
    return lambda: tree.query_radius_batch(QX, R, workers, count_only)


CASES = [
    Case("spatial", "KDTree build 1e6x3", lambda: spatial.KDTree.from_array(points6, LEAF),
         lambda: cKDTree(X6, leafsize=LEAF, balanced_tree=True), "cKDTree balanced", goal=2.0),
    Case("spatial", "BallTree build 1e5x3", lambda: spatial.BallTree.from_array(points, LEAF),
         lambda: SkBallTree(X, leaf_size=LEAF), "sklearn BallTree", goal=1.5),
    Case("spatial", "VPTree build 1e5x3", lambda: spatial.VPTree.from_array(points, LEAF),
         lambda: SkBallTree(X, leaf_size=LEAF), "sklearn BallTree", goal=1.5),

    Case("spatial", "KDTree knn k=1 x1e5", knn(kd, 1), lambda: ckd.query(QX, 1, workers=1), "cKDTree", goal=1.5),
    Case("spatial", "KDTree knn k=10 x1e5", knn(kd, 10), lambda: ckd.query(QX, 10, workers=1), "cKDTree", goal=1.5),
    Case("spatial", "KDTree radius r=0.05 x1e5", radius(kd), lambda: ckd.query_ball_point(QX, R, workers=1),
         "cKDTree", goal=1.5),
    Case("spatial", "KDTree radius count r=0.05 x1e5", radius(kd, count_only=True),
         lambda: ckd.query_ball_point(QX, R, workers=1, return_length=True), "cKDTree return_length", goal=1.5),
    Case("spatial", "BallTree knn k=10 x1e5", knn(ball, 10), lambda: sball.query(QX, 10), "sklearn BallTree",
         goal=1.0),
    Case("spatial", "VPTree knn k=10 x1e5", knn(vp, 10), lambda: sball.query(QX, 10), "sklearn BallTree", goal=1.0),
    Case("spatial", "BallTree radius r=0.05 x1e5", radius(ball), lambda: sball.query_radius(QX, R),
         "sklearn BallTree", goal=1.0),
    Case("spatial", "VPTree radius r=0.05 x1e5", radius(vp), lambda: sball.query_radius(QX, R), "sklearn BallTree",
         goal=1.0),

    *[Case("spatial", f"KDTree kde {k} h={h} 1e3 on 1e5", lambda k=k, h=h: kd.kernel_density_batch(QDX, h, k),
           lambda k=k: sk_kde[k].score_samples(QDX), "sklearn KernelDensity exact", goal=2.0)
      for k, h in H.items()],

    Case("spatial", "KDTree knn k=10 workers=-1", knn(kd, 10, -1), knn(kd, 10), "kestrum workers=1", goal=1.8),
    Case("spatial", "KDTree radius workers=-1", radius(kd, -1), radius(kd), "kestrum workers=1", goal=1.8),
    Case("spatial", "KDTree kde gaussian 1e4 workers=-1", lambda: kd.kernel_density_batch(QPX, 0.05, workers=-1),
         lambda: kd.kernel_density_batch(QPX, 0.05), "kestrum workers=1", goal=1.8),
]

if __name__ == "__main__":
    main(CASES)
