"""Statistics against NumPy / SciPy on 10^6 float64 elements (and a small case for call overhead)."""
import common
from common import Case, main

import numpy as np
import scipy.stats

import kestrum

N = 10**6
_rng = np.random.default_rng(12345)
x_np = _rng.standard_normal(N)
y_np = 0.5 * x_np + _rng.standard_normal(N)
x = kestrum.Array([N], x_np)
y = kestrum.Array([N], y_np)
small_np = _rng.standard_normal(100)
small = kestrum.Array([100], small_np)
probs = [0.05, 0.25, 0.5, 0.75, 0.95]
probs_k = kestrum.Array([len(probs)], probs)
# Many ties and signed zeros: integer-valued data, the worst case for selection by sampling.
ties_np = np.round(_rng.standard_normal(N) * 2.0) * np.where(_rng.random(N) < 0.5, -1.0, 1.0)
ties = kestrum.Array([N], ties_np)
zeros_np = np.zeros(N)
zeros = kestrum.Array([N], zeros_np)

S = kestrum.stats

CASES = [
    # Sequential sums are latency-bound by contract; the peer sums pairwise with wide vectors.
    Case("stats", "sum 1e6 (sequential)", lambda: S.sum(x), lambda: np.sum(x_np), "numpy.sum"),
    Case("stats", "mean 1e6 (sequential)", lambda: S.mean(x), lambda: np.mean(x_np), "numpy.mean"),
    Case("stats", "var 1e6 (two sequential passes)", lambda: S.var(x), lambda: np.var(x_np), "numpy.var"),
    Case("stats", "std 1e6", lambda: x.std(), lambda: np.std(x_np), "numpy.std"),
    Case("stats", "all 1e6 (no zero)", lambda: S.all(x), lambda: np.all(x_np), "numpy.all"),
    Case("stats", "any 1e6 (all zero: full scan)", lambda: S.any(zeros), lambda: np.any(zeros_np), "numpy.any"),
    Case("stats", "median 1e6", lambda: S.median(x), lambda: np.median(x_np), "numpy.median", goal=1.0),
    Case("stats", "median 1e6 with ties", lambda: S.median(ties), lambda: np.median(ties_np), "numpy.median", goal=1.0),
    Case("stats", "quantile 0.3 1e6", lambda: S.quantile(x, 0.3), lambda: np.quantile(x_np, 0.3), "numpy.quantile",
         goal=1.0),
    Case("stats", "quantile 0.999 1e6", lambda: S.quantile(x, 0.999), lambda: np.quantile(x_np, 0.999),
         "numpy.quantile", goal=1.0),
    Case("stats", "quantile 5 probabilities 1e6", lambda: S.quantile(x, probs_k),
         lambda: np.quantile(x_np, probs), "numpy.quantile", goal=1.0),
    Case("stats", "median 100", lambda: S.median(small), lambda: np.median(small_np), "numpy.median"),
    Case("stats", "pearson 1e6", lambda: S.pearson(x, y), lambda: np.corrcoef(x_np, y_np), "numpy.corrcoef",
         goal=1.0),
    Case("stats", "spearman 1e6", lambda: S.spearman(x, y), lambda: scipy.stats.spearmanr(x_np, y_np),
         "scipy.stats.spearmanr", goal=1.0),
    Case("stats", "spearman 1e6 with ties", lambda: S.spearman(ties, y),
         lambda: scipy.stats.spearmanr(ties_np, y_np), "scipy.stats.spearmanr", goal=1.0),
]

if __name__ == "__main__":
    main(CASES)
