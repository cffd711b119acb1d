"""Nearest-neighbour search with KDTree, BallTree and VPTree.

Scatters reproducible random "stores" on a 100 km × 100 km map, then for every customer finds the
nearest stores with their distances, the stores within walking distance and the nearest store by
street distance (manhattan metric), each in one batch call over all customers on every core.
Checks the three trees against each other and a few answers against a brute-force scan, and times
building and querying each tree.

    python examples/nearest_neighbours.py
"""
import time

from kestrum import random, spatial

N_STORES = 20000
N_QUERIES = 20000


def brute_force_nearest(stores, query, k):
    """Reference answer for one customer: every store, sorted by Euclidean distance."""
    squared = ((stores - query) * (stores - query)).tolist()
    ranked = sorted((x * x + y * y, i) for i, (x, y) in enumerate(squared))
    return [i for _, i in ranked[:k]]


def main():
    g = random.seed(7)
    stores = g.uniform(0.0, 100.0, [N_STORES, 2])
    customers = g.uniform(0.0, 100.0, [N_QUERIES, 2])

    trees, build_time = {}, {}
    for name, cls in [("KDTree", spatial.KDTree), ("BallTree", spatial.BallTree), ("VPTree", spatial.VPTree)]:
        t0 = time.perf_counter()
        trees[name] = cls.from_array(stores)
        build_time[name] = time.perf_counter() - t0

    kd = trees["KDTree"]
    print(f"{N_STORES} stores, {N_QUERIES} customers")
    # One call answers every customer: row i of `nearest` and `km` belongs to customer i.
    nearest, km = kd.query_knn_batch(customers, 3, workers=-1)
    walking = kd.query_radius_batch(customers, 1.0, workers=-1, count_only=True)
    for c in range(3):
        shown = ", ".join(f"#{int(i)} at {d:.2f} km" for i, d in zip(nearest[c].tolist(), km[c].tolist()))
        print(f"customer {c} at ({customers[c, 0]:.1f}, {customers[c, 1]:.1f}): nearest stores {shown}")
        print(f"  {int(walking[c])} stores within 1 km")
        assert [int(i) for i in nearest[c].tolist()] == brute_force_nearest(stores, customers[c], 3)

    street = spatial.KDTree.from_array(stores, metric="manhattan")
    best, streets = street.query_knn_batch(customers[0], 1)
    print(f"nearest by street distance for customer 0: #{int(best[0, 0])}, {streets[0, 0]:.2f} km of streets")

    print(f"\n{'tree':10} {'build ms':>9} {'knn(10) us/query':>17} {'radius(2) us/query':>19}")
    answers = {}
    for name in ("KDTree", "BallTree", "VPTree"):
        tree = trees[name]
        t0 = time.perf_counter()
        knn, _ = tree.query_knn_batch(customers, 10, workers=-1)
        t_knn = (time.perf_counter() - t0) / N_QUERIES
        t0 = time.perf_counter()
        near = tree.query_radius_batch(customers, 2.0, workers=-1)
        t_radius = (time.perf_counter() - t0) / N_QUERIES
        # Equal distances may be listed in any order, and radius lists follow each tree's layout.
        answers[name] = ([sorted(row) for row in knn.tolist()], [sorted(r) for r in near])
        print(f"{name:10} {build_time[name] * 1e3:9.1f} {t_knn * 1e6:17.2f} {t_radius * 1e6:19.2f}")
    same = answers["KDTree"] == answers["BallTree"] == answers["VPTree"]
    print(f"\nall three trees return the same neighbours: {same}")
    assert same


if __name__ == "__main__":
    main()
