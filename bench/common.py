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


def _calibrate(fn: Callable[[], object], round_time: float) -> int:
    """How many calls make one timing round last about `round_time` seconds."""
    fn()
    n = 1
    while n < 1 << 20:
        t0 = time.perf_counter()
        for _ in range(n):
            fn()
        if time.perf_counter() - t0 >= round_time:
            break
        n *= 2
    return n


def _round(fn: Callable[[], object], n: int) -> float:
    t0 = time.perf_counter()
    for _ in range(n):
        fn()
    return (time.perf_counter() - t0) / n


def best_time(fn: Callable[[], object], min_time: float = 0.2, repeat: int = 5) -> float:
    """Best per-call time over `repeat` rounds of about `min_time / repeat` seconds each."""
    n = _calibrate(fn, min_time / repeat)
    return min(_round(fn, n) for _ in range(repeat))


def run_cases(cases, min_time: float = 0.2, progress=None, repeat: int = 7):
    """Returns rows (case, our_time, peer_time, ratio) with ratio = peer_time / our_time.

    Rounds of ours and the peer's alternate, so that load from other processes hits both alike;
    each side keeps its best round.
    """
    rows = []
    for i, c in enumerate(cases):
        if progress:
            progress(i, len(cases), c)
        n_ours = _calibrate(c.ours, min_time / repeat)
        n_peer = _calibrate(c.peer, min_time / repeat) if c.peer else 0
        ours = peer = float("inf")
        for _ in range(repeat):
            ours = min(ours, _round(c.ours, n_ours))
            if c.peer:
                peer = min(peer, _round(c.peer, n_peer))
        peer_time = peer if c.peer else None
        rows.append((c, ours, peer_time, (peer_time / ours) if peer_time else None))
    return rows


def goal_text(case, ratio) -> str:
    if case.goal is None:
        return ""
    return ("ok" if ratio and ratio >= case.goal else "MISS") + f" >={case.goal:g}x"


def print_rows(rows) -> None:
    """The table of timings: every value starts or ends under its header (numbers align right)."""
    header = ("area", "case", "kestrum", "peer", "speedup", "goal", "peer is")
    right = {2, 3, 4}
    table = [header] + [
        (c.area, c.name, f"{ours * 1e6:.1f}us", f"{peer * 1e6:.1f}us" if peer else "-",
         f"{ratio:.2f}x" if ratio else "-", goal_text(c, ratio), c.peer_label)
        for c, ours, peer, ratio in rows
    ]
    widths = [max(len(line[i]) for line in table) for i in range(len(header))]
    for line in table:
        cells = [cell.rjust(w) if i in right else cell.ljust(w) for i, (cell, w) in enumerate(zip(line, widths))]
        print("  ".join(cells).rstrip())


def main(cases) -> None:
    print_rows(run_cases(cases))
