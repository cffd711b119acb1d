"""Samplers next to NumPy's default_rng, 10^6 samples each (and a small-call overhead case)."""
from common import Case, main

import numpy as np

import kestrum

N = 10**6
ours = kestrum.Generator.from_seed(0)
peer = np.random.default_rng(0)

CASES = [
    Case("random", "uniform(0, 1, [1e6])", lambda: ours.uniform(0.0, 1.0, [N]), lambda: peer.random(N),
         "Generator.random", goal=1.0),
    Case("random", "uniform(-2, 3, [1e6])", lambda: ours.uniform(-2.0, 3.0, [N]), lambda: peer.uniform(-2.0, 3.0, N),
         "Generator.uniform", goal=1.0),
    Case("random", "randint(0, 10, [1e6])", lambda: ours.randint(0, 10, [N]), lambda: peer.integers(0, 10, N),
         "Generator.integers", goal=1.0),
    Case("random", "randint(-1e12, 1e12, [1e6])", lambda: ours.randint(-10**12, 10**12, [N]),
         lambda: peer.integers(-10**12, 10**12, N), "Generator.integers", goal=1.0),
    Case("random", "standard_normal([1e6])", lambda: ours.standard_normal([N]), lambda: peer.standard_normal(N),
         "Generator.standard_normal", goal=1.0),
    Case("random", "normal(1, 2, [1e6])", lambda: ours.normal(1.0, 2.0, [N]), lambda: peer.normal(1.0, 2.0, N),
         "Generator.normal", goal=1.0),
    Case("random", "lognormal(0, 1, [1e6])", lambda: ours.lognormal(0.0, 1.0, [N]),
         lambda: peer.lognormal(0.0, 1.0, N), "Generator.lognormal", goal=1.0),
    Case("random", "gamma(2.5, 1, [1e6])", lambda: ours.gamma(2.5, 1.0, [N]), lambda: peer.gamma(2.5, 1.0, N),
         "Generator.gamma", goal=0.9),
    Case("random", "gamma(0.5, 2, [1e6])", lambda: ours.gamma(0.5, 2.0, [N]), lambda: peer.gamma(0.5, 2.0, N),
         "Generator.gamma", goal=0.9),
    Case("random", "beta(2, 3, [1e6])", lambda: ours.beta(2.0, 3.0, [N]), lambda: peer.beta(2.0, 3.0, N),
         "Generator.beta", goal=0.8),
    Case("random", "beta(0.5, 0.5, [1e6])", lambda: ours.beta(0.5, 0.5, [N]), lambda: peer.beta(0.5, 0.5, N),
         "Generator.beta", goal=0.8),
    Case("random", "uniform(0, 1, [10]) call overhead", lambda: ours.uniform(0.0, 1.0, [10]),
         lambda: peer.uniform(0.0, 1.0, 10), "Generator.uniform"),
]

if __name__ == "__main__":
    main(CASES)
