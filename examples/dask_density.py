"""Kernel density of 10^6 query points on a Dask cluster, checked against one process.

Builds a KDTree over 10^5 points once, sends it to every worker of a local Dask cluster with
`client.scatter(tree, broadcast=True)`, and maps `kernel_density_batch` over the chunks of a
dask.array of 10^6 query points that the workers draw themselves (seeded, so every run sees the same
queries and nothing large travels in the task graph). The result is compared, bit for bit, with the
same call in this process, and the wall time is printed for one and for two worker processes. The
cluster listens on the loopback interface only and starts no dashboard. Needs dask[distributed] and
NumPy.

    python examples/dask_density.py [n_queries]
"""
import sys
import time

import numpy as np
import dask.array as da
from dask.distributed import Client, LocalCluster

import kestrum
from kestrum import spatial

N_POINTS = 100_000
KERNEL = "epanechnikov"
BANDWIDTH = 0.02
CHUNK_ROWS = 50_000


def density_block(block, tree):
    """One chunk of query rows (a NumPy array) on a worker; the tree reads it in place."""
    return np.asarray(tree.kernel_density_batch(block, bandwidth=BANDWIDTH, kernel=KERNEL))


def query_points(n_queries):
    """A dask.array of uniform points in the unit cube, drawn chunk by chunk where it is computed."""
    return da.random.default_rng(1).uniform(0.0, 1.0, size=(n_queries, 3), chunks=(CHUNK_ROWS, 3))


def cluster_density(tree, n_queries, n_workers):
    """(densities, seconds) on a fresh local cluster of `n_workers` processes, startup excluded."""
    with LocalCluster(n_workers=n_workers, threads_per_worker=1, processes=True,
                      dashboard_address=None, host="127.0.0.1") as cluster, Client(cluster) as client:
        started = time.perf_counter()
        remote = client.scatter(tree, broadcast=True)
        q = query_points(n_queries)
        density = q.map_blocks(density_block, remote, drop_axis=1, dtype=np.float64).compute()
        return density, time.perf_counter() - started


def main():
    n_queries = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    points = kestrum.random.seed(0).uniform(0.0, 1.0, [N_POINTS, 3])
    tree = spatial.KDTree.from_array(points)
    queries = query_points(n_queries).compute(scheduler="synchronous")

    started = time.perf_counter()
    expected = np.asarray(tree.kernel_density_batch(queries, bandwidth=BANDWIDTH, kernel=KERNEL))
    print(f"one process:      {time.perf_counter() - started:6.2f} s for {n_queries} queries")

    for n_workers in (1, 2):
        density, seconds = cluster_density(tree, n_queries, n_workers)
        if not np.array_equal(density, expected):
            raise SystemExit(f"{n_workers} worker(s): densities differ from the single-process result")
        print(f"{n_workers} worker process{'es' if n_workers > 1 else '':2}: {seconds:6.2f} s, bit-identical")
    print(f"mean density {expected.mean():.6g}, largest {expected.max():.6g}")


if __name__ == "__main__":
    main()
