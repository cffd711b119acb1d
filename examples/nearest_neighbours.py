"""Nearest-neighbour search with KDTree, BallTree and VPTree.

Scatters reproducible random "stores" on a 100 km × 100 km map, then for a few customers finds the
nearest stores, the stores within walking distance and the nearest store by street distance
(manhattan metric). Checks the three trees against each other and against a brute-force scan, and
times building and querying each tree.

    python examples/nearest_neighbours.py
"""
import math
import time

import kestrum
from kestrum import random, spatial

N_STORES = 20000
N_QUERIES = 2000


def brute_force_knn(points, query, k):
    """Reference answer: sort every point by Euclidean distance."""
    dists = [(math.dist(p, query), i) for i, p in enumerate(points)]
    return [i for _, i in sorted(dists)[:k]]


def main():
    g = random.seed(7)
    stores = g.uniform(0.0, 100.0, [N_STORES, 2])
    customers = g.uniform(0.0, 100.0, [N_QUERIES, 2])
    rows = stores.tolist()

    trees = {}
    for name, cls in [("KDTree", spatial.KDTree), ("BallTree", spatial.BallTree), ("VPTree", spatial.VPTree)]:
        t0 = time.perf_counter()
        trees[name] = cls.from_array(stores)
        trees[name + " build"] = time.perf_counter() - t0

    kd = trees["KDTree"]
    print(f"{N_STORES} stores, {N_QUERIES} customers")
    for c in range(3):
        where = customers[c]
        nearest = kd.query_knn(where, 3)
        shown = ", ".join(f"#{i} at {math.dist(rows[i], where.tolist()):.2f} km" for i in nearest)
        print(f"customer {c} at ({where[0]:.1f}, {where[1]:.1f}): nearest stores {shown}")
        walking = kd.query_radius(where, 1.0)
        print(f"  {len(walking)} stores within 1 km")
        assert nearest == brute_force_knn(rows, where.tolist(), 3)

    street = spatial.KDTree.from_array(stores, metric="manhattan")
    where = customers[0]
    best = street.query_knn(where, 1)[0]
    print(f"nearest by street distance for customer 0: #{best}, "
          f"{abs(rows[best][0] - where[0]) + abs(rows[best][1] - where[1]):.2f} km of streets")

    print(f"\n{'tree':10} {'build ms':>9} {'knn(10) us/query':>17} {'radius(2) us/query':>19}")
    answers = {}
    for name in ("KDTree", "BallTree", "VPTree"):
        tree = trees[name]
        queries = [customers[i] for i in range(N_QUERIES)]
        t0 = time.perf_counter()
        knn = [tree.query_knn(q, 10) for q in queries]
        t_knn = (time.perf_counter() - t0) / N_QUERIES
        t0 = time.perf_counter()
        near = [sorted(tree.query_radius(q, 2.0)) for q in queries]
        t_radius = (time.perf_counter() - t0) / N_QUERIES
        answers[name] = ([sorted(r) for r in knn], near)
        print(f"{name:10} {trees[name + ' build'] * 1e3:9.1f} {t_knn * 1e6:17.1f} {t_radius * 1e6:19.1f}")
    same = answers["KDTree"] == answers["BallTree"] == answers["VPTree"]
    print(f"\nall three trees return the same neighbours: {same}")
    assert same


if __name__ == "__main__":
    main()
