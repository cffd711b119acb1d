"""Shared timing helpers for the benchmarks.

Each bench_<area>.py module defines CASES, a list of Case objects, and can be run on its own.
Peers (NumPy, SciPy, scikit-learn) are measured in the same process; their BLAS is limited to one
thread because kestrum is single-threaded (set before NumPy is imported, see `limit_threads`).
"""
from __future__ import annotations

import os
import time
from dataclasses import dataclass
from typing import Callable, Optional


def limit_threads() -> None:
    for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS", "BLIS_NUM_THREADS"):
        os.environ[var] = "1"
    for var in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE"):
        os.environ.pop(var, None)


limit_threads()


@dataclass
class Case:
    area: str
    name: str
    ours: Callable[[], object]
    peer: Optional[Callable[[], object]]
    peer_label: str
    goal: Optional[float] = None  # required ratio peer_time / our_time (>= goal is met)


def best_time(fn: Callable[[], object], min_time: float = 0.2, repeat: int = 5) -> float:
    """Best per-call time over `repeat` rounds, each running at least `min_time` seconds."""
    fn()
    n = 1
    while True:
        t0 = time.perf_counter()
        for _ in range(n):
            fn()
        dt = time.perf_counter() - t0
        if dt >= min_time / repeat or n >= 1 << 20:
            break
        n *= 2
    best = dt / n
    for _ in range(repeat - 1):
        t0 = time.perf_counter()
        for _ in range(n):
            fn()
        best = min(best, (time.perf_counter() - t0) / n)
    return best


def run_cases(cases, min_time: float = 0.2, progress=None):
    """Returns rows (case, our_time, peer_time, ratio) with ratio = peer_time / our_time."""
    rows = []
    for i, c in enumerate(cases):
        if progress:
            progress(i, len(cases), c)
        ours = best_time(c.ours, min_time)
        peer = best_time(c.peer, min_time) if c.peer else None
        rows.append((c, ours, peer, (peer / ours) if peer else None))
    return rows


def print_rows(rows) -> None:
    print(f"{'area':8} {'case':44} {'kestrum':>11} {'peer':>11} {'speedup':>8}  goal  peer")
    for c, ours, peer, ratio in rows:
        p = f"{peer * 1e6:9.1f}us" if peer else "         -"
        r = f"{ratio:7.2f}x" if ratio else "       -"
        g = "" if c.goal is None else ("ok " if ratio and ratio >= c.goal else "MISS") + f" >={c.goal:g}x"
        print(f"{c.area:8} {c.name:44} {ours * 1e6:9.1f}us {p} {r}  {g:12} {c.peer_label}")


def main(cases) -> None:
    print_rows(run_cases(cases))
