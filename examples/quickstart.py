"""A short tour of kestrum: arrays, linear algebra, statistics, random sampling, neighbour search.

    python examples/quickstart.py
"""
import kestrum
from kestrum import linalg, random, spatial, stats


def section(title):
    print(f"== {title}")


def arrays():
    section("Arrays")
    a = kestrum.Array([2, 3], [1, 2, 3, 4, 5, 6])  # shape, then flat row-major data
    print("  a =", a)
    print("  a.shape =", a.shape, " len(a) =", len(a))
    print("  asarray([1, 2, 3, 4], [2, 2]) =", kestrum.asarray([1, 2, 3, 4], [2, 2]))
    print("  a * 2 - 1 =", a * 2 - 1)
    print("  a + [10, 20, 30] (broadcast) =", a + kestrum.asarray([10, 20, 30]))
    print("  a[1] =", a[1], " a[1, -1] =", a[1, -1], " a[::2] =", a[::2])
    print("  eye(3) =", kestrum.eye(3))
    print("  a.sqrt().tolist() =", a.sqrt().tolist())


def linear_algebra():
    section("Linear algebra")
    m = kestrum.Array([2, 2], [2, 1, 1, 2])
    print("  m @ m =", m @ m)
    q, r = linalg.qr(m)
    print("  qr(m): r =", r)
    print("  cholesky(m) =", linalg.cholesky(m))
    values, vectors = linalg.eig(m)
    print("  eig(m) values =", values)


def statistics():
    section("Statistics")
    x = kestrum.asarray([2.0, 4.0, 4.0, 4.0, 5.0, 5.0, 7.0, 9.0])
    print("  mean, std, median =", stats.mean(x), stats.std(x), stats.median(x))
    print("  quantile(x, 0.9) =", stats.quantile(x, 0.9))
    print("  quantiles 0.1, 0.5, 0.9 =", x.quantile(kestrum.asarray([0.1, 0.5, 0.9])))
    y = x * 3.0 + 1.0
    print("  pearson(x, 3x+1) =", stats.pearson(x, y), " spearman =", stats.spearman(x, y))


def sampling():
    section("Random sampling")
    g = random.seed(42)  # same seed, same numbers, bit for bit
    print("  uniform(0, 1, [3]) =", g.uniform(0.0, 1.0, [3]))
    print("  randint(0, 10, [5]) =", g.randint(0, 10, [5]))
    print("  standard_normal([2, 2]) =", g.standard_normal([2, 2]))
    z = g.normal(10.0, 2.0, [10000])
    print(f"  normal(10, 2): sample mean {z.mean():.3f}, std {z.std():.3f}")


def neighbours():
    section("Spatial")
    pts = kestrum.Array([5, 2], [0, 0, 1, 0, 0, 1, 1, 1, 5, 5])
    tree = spatial.KDTree.from_array(pts, leaf_size=2)
    print("  3 nearest to (0.1, 0.2):", tree.query_knn([0.1, 0.2], 3))
    print("  within 1.0 of (0, 0):", sorted(tree.query_radius([0.0, 0.0], 1.0)))
    print("  gaussian density at (0.5, 0.5):", tree.kernel_density([0.5, 0.5], bandwidth=0.5))
    ball = spatial.BallTree.from_array(pts, metric="manhattan")
    vp = spatial.VPTree.from_array(pts)
    print("  nearest to (4, 4): ball tree", ball.query_knn([4, 4], 1), " vantage-point tree", vp.query_knn([4, 4], 1))


if __name__ == "__main__":
    arrays()
    linear_algebra()
    statistics()
    sampling()
    neighbours()
