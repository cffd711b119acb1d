"""Kernel density estimate of a 2-D sample, drawn with Generator and evaluated with KDTree.

Draws a reproducible sample from a mixture of two Gaussian clusters, indexes it with a KDTree,
evaluates the Gaussian kernel density on a grid (exactly, then approximately), prints a summary and
writes a contour plot to the path given as the argument, by default examples/out/kernel_density.png
(a folder git ignores). The plot needs matplotlib; without it the script prints a note and still
computes everything else.

    python examples/kernel_density.py [output.png]
"""
import argparse
import math
import time
from pathlib import Path

import kestrum
from kestrum import random, spatial, stats

N_PER_CLUSTER = 1500
GRID = 100  # grid points per axis
X_RANGE = (-4.0, 4.0)
Y_RANGE = (-3.0, 4.0)
DEFAULT_OUTPUT = Path(__file__).resolve().parent / "out" / "kernel_density.png"


def draw_sample(seed):
    """Two clusters: N((-1.5, 0), 0.6^2 I) and N((1.5, 1), 0.9^2 I), stacked row-wise."""
    g = random.seed(seed)
    left = g.normal(0.0, 0.6, [N_PER_CLUSTER, 2]) + kestrum.asarray([-1.5, 0.0])
    right = g.normal(0.0, 0.9, [N_PER_CLUSTER, 2]) + kestrum.asarray([1.5, 1.0])
    # Iterating an Array yields its flat elements, so the rows of both clusters concatenate here.
    return kestrum.Array([2 * N_PER_CLUSTER, 2], list(left) + list(right))


def scott_bandwidth(points):
    """Scott's rule for two dimensions: n^(-1/6) times the mean coordinate standard deviation."""
    n = points.shape[0]
    columns = points.t()
    spread = (stats.std(columns[0]) + stats.std(columns[1])) / 2
    return spread * n ** (-1.0 / 6.0)


def grid_points():
    xs = [X_RANGE[0] + (X_RANGE[1] - X_RANGE[0]) * i / (GRID - 1) for i in range(GRID)]
    ys = [Y_RANGE[0] + (Y_RANGE[1] - Y_RANGE[0]) * j / (GRID - 1) for j in range(GRID)]
    flat = [c for y in ys for x in xs for c in (x, y)]
    return xs, ys, kestrum.Array([GRID * GRID, 2], flat)


def timed(fn):
    t0 = time.perf_counter()
    result = fn()
    return result, time.perf_counter() - t0


def plot(xs, ys, density, sample, path):
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed: skipping the plot (pip install matplotlib)")
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = [density[j * GRID:(j + 1) * GRID].tolist() for j in range(GRID)]
    fig, ax = plt.subplots(figsize=(7, 6))
    filled = ax.contourf(xs, ys, rows, levels=14, cmap="viridis")
    fig.colorbar(filled, ax=ax, label="estimated density")
    shown = sample.tolist()[::10]
    ax.scatter([p[0] for p in shown], [p[1] for p in shown], s=3, c="white", alpha=0.5, label="sample (1 in 10)")
    ax.set_title("Gaussian kernel density estimate (KDTree.kernel_density)")
    ax.set_xlabel("x")
    ax.set_ylabel("y")
    ax.legend(loc="upper left")
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    print(f"wrote the plot to {path}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", nargs="?", type=Path, default=DEFAULT_OUTPUT,
                        help=f"where to write the PNG plot (default: {DEFAULT_OUTPUT})")
    out = parser.parse_args().output.resolve()
    sample = draw_sample(seed=20240611)
    n = sample.shape[0]
    h = scott_bandwidth(sample)
    print(f"sample: {n} points in 2-D, bandwidth (Scott's rule) h = {h:.4f}")

    tree, t_build = timed(lambda: spatial.KDTree.from_array(sample, leaf_size=16))
    xs, ys, queries = grid_points()
    sums, t_exact = timed(lambda: tree.kernel_density(queries, bandwidth=h))
    # Kernel sums are not normalised: turn them into a probability density.
    density = sums / (n * h * h * 2 * math.pi)
    approx_sums, t_approx = timed(
        lambda: tree.kernel_density_approx(queries, bandwidth=h, criterion="max_span", max_span=h)
    )
    approx = approx_sums / (n * h * h * 2 * math.pi)

    peak = max(range(len(density)), key=lambda i: density[i])
    peak_x, peak_y = queries[peak, 0], queries[peak, 1]
    total_mass = density.sum() * ((X_RANGE[1] - X_RANGE[0]) / (GRID - 1)) * ((Y_RANGE[1] - Y_RANGE[0]) / (GRID - 1))
    worst = max(abs(a - e) for a, e in zip(approx, density))
    print(f"built KDTree in {t_build * 1e3:.1f} ms; {len(density)} grid queries: exact {t_exact * 1e3:.1f} ms, "
          f"approximate {t_approx * 1e3:.1f} ms")
    print(f"peak density {density[peak]:.4f} at ({peak_x:.2f}, {peak_y:.2f}); "
          f"mass on the grid {total_mass:.3f} (close to 1)")
    print(f"largest difference exact vs approximate (max_span = h): {worst:.2e}")
    centres = [[-1.5, 0.0], [1.5, 1.0], [0.0, -2.5]]
    # One batch call for all three points (workers=-1: on every core); entry i belongs to centres[i].
    at = tree.kernel_density_batch(centres, bandwidth=h, workers=-1) / (n * h * h * 2 * math.pi)
    for (cx, cy), value in zip(centres, at.tolist()):
        print(f"  density at ({cx:+.1f}, {cy:+.1f}) = {value:.4f}")
    plot(xs, ys, density, sample, out)


if __name__ == "__main__":
    main()
