"""Runs every benchmark of this directory and reports kestrum's speed against its peers.

Imports each bench_*.py module (each defines CASES, a list of common.Case), times every case and its
peer (NumPy, SciPy or scikit-learn) in this one process with the peer's BLAS limited to one thread,
prints one table of ratios (peer time / kestrum time: above 1 means kestrum is faster) and writes a
bar chart of the ratios to bench/out/ratios.png (needs matplotlib) and the figures to
bench/out/ratios.csv.

    python bench/run.py                    # everything
    python bench/run.py --area linalg      # one area (repeatable)
    python bench/run.py --min-time 0.05    # quicker, noisier
"""
from __future__ import annotations

import argparse
import csv
import datetime
import importlib
import math
import os
import platform
import sys
import time
import traceback
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import common  # noqa: E402  (first: limits the peers' threads before NumPy is imported)
from common import run_cases  # noqa: E402


def load_cases(areas: set[str]):
    """Imports every bench_*.py module; returns (cases, [(module name, reason) for modules that
    could not be loaded])."""
    cases, failed = [], []
    for path in sorted(HERE.glob("bench_*.py")):
        if areas and path.stem[len("bench_"):] not in areas:
            continue  # bench_<area>.py holds the cases of <area>; importing it prepares its data
        try:
            module = importlib.import_module(path.stem)
        except Exception as e:  # a missing optional peer, for instance
            failed.append((path.stem, f"{type(e).__name__}: {e}"))
            continue
        cases += [c for c in getattr(module, "CASES", []) if not areas or c.area in areas]
    return cases, failed


def measure(cases, min_time: float):
    """Times every case with progress on stderr; returns (rows, errors) where a row is
    (case, our time, peer time or None, ratio or None)."""
    rows, errors = [], []
    width = len(str(len(cases)))
    started = time.perf_counter()
    for i, case in enumerate(cases, 1):
        print(f"[{i:{width}}/{len(cases)}] {case.area:8} {case.name}", file=sys.stderr, flush=True)
        try:
            rows += run_cases([case], min_time)
        except BaseException as e:  # PanicException derives from BaseException
            if isinstance(e, KeyboardInterrupt):
                raise
            errors.append((case, "".join(traceback.format_exception_only(type(e), e)).strip()))
            continue
    print(f"measured {len(rows)} cases in {time.perf_counter() - started:.0f} s", file=sys.stderr)
    return rows, errors


def geometric_mean(values):
    return math.exp(sum(math.log(v) for v in values) / len(values)) if values else None


PEERS = (("numpy", "NumPy"), ("scipy", "SciPy"), ("sklearn", "scikit-learn"))


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return " ".join(line.split(":", 1)[1].split())
    except OSError:
        pass
    return platform.processor() or platform.machine()


def run_context() -> str:
    """Where and against what the figures were measured: machine, Python, peer versions, date."""
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    peers = [f"{label} {sys.modules[name].__version__}" for name, label in PEERS if name in sys.modules]
    return (f"{cpu_model()} ({cores} cores), Python {platform.python_version()}, "
            + ", ".join(peers) + f"; {datetime.date.today().isoformat()}")


def print_report(rows, errors, failed_modules) -> None:
    print()
    print(run_context())
    common.print_rows(rows)
    print()
    print("speedup = peer time / kestrum time (above 1: kestrum is faster); goal: the speedup required")
    by_area: dict[str, list[float]] = {}
    for case, _, _, ratio in rows:
        if ratio:
            by_area.setdefault(case.area, []).append(ratio)
    for area, ratios in by_area.items():
        print(f"  {area:8} geometric mean speedup {geometric_mean(ratios):6.2f}x over {len(ratios)} cases")
    with_goal = [(c, r) for c, _, _, r in rows if c.goal is not None]
    missed = [c for c, r in with_goal if not (r and r >= c.goal)]
    if with_goal:
        print(f"  goals met: {len(with_goal) - len(missed)} of {len(with_goal)}"
              + (f" (missed: {', '.join(f'{c.area}/{c.name}' for c in missed)})" if missed else ""))
    for case, message in errors:
        print(f"  ERROR {case.area}/{case.name}: {message}")
    for name, reason in failed_modules:
        print(f"  not run: {name} ({reason})")


def write_csv(rows, path: Path) -> None:
    with path.open("w", newline="") as f:
        out = csv.writer(f)
        out.writerow(["area", "case", "kestrum_s", "peer_s", "speedup", "goal", "peer"])
        for case, ours, peer, ratio in rows:
            out.writerow([case.area, case.name, f"{ours:.6g}", f"{peer:.6g}" if peer else "",
                          f"{ratio:.4g}" if ratio else "", case.goal if case.goal is not None else "",
                          case.peer_label])
    print(f"wrote {path}")


def plot(rows, path: Path) -> None:
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed: skipping the chart (pip install matplotlib)")
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    shown = [(c, r) for c, _, _, r in rows if r]
    if not shown:
        print("no case has a peer: skipping the chart")
        return
    areas = list(dict.fromkeys(c.area for c, _ in shown))
    colours = {a: plt.get_cmap("tab10")(i % 10) for i, a in enumerate(areas)}
    fig, ax = plt.subplots(figsize=(12, 0.28 * len(shown) + 1.8))
    ys = list(range(len(shown)))[::-1]
    ax.barh(ys, [r for _, r in shown], color=[colours[c.area] for c, _ in shown], height=0.7)
    for y, (c, r) in zip(ys, shown):
        ax.text(max(r, c.goal or 0.0), y, f"  {r:.3g}x", va="center", fontsize=7)  # clear of the goal mark
    # Goals as diamonds above the bars, coloured by whether the case meets them: a goal of 1x sits
    # on the dashed line and must still stand out.
    goals = [(y, c.goal, r >= c.goal) for y, (c, r) in zip(ys, shown) if c.goal is not None]
    for met, colour, label in ((True, "limegreen", "goal (met)"), (False, "red", "goal (missed)")):
        marks = [(y, g) for y, g, ok in goals if ok == met]
        if marks:
            ax.scatter([g for _, g in marks], [y for y, _ in marks], marker="D", s=28, color=colour,
                       edgecolors="black", linewidths=0.6, zorder=3, label=label)
    ax.set_yticks(ys)
    ax.set_yticklabels([f"{c.area}: {c.name} (vs {c.peer_label})" for c, _ in shown], fontsize=7)
    ax.set_xscale("log")
    low = min([r for _, r in shown] + [c.goal for c, _ in shown if c.goal] + [1.0])
    ax.set_xlim(low / 1.5, max(r for _, r in shown) * 2.5)  # room for the value labels
    ax.axvline(1.0, color="grey", linestyle="--", linewidth=1, zorder=1)
    ax.set_xlabel("speedup = peer time / kestrum time (log scale); right of the dashed line kestrum is faster")
    ax.set_title(f"kestrum against its peers, measured in the same run\n{run_context()}", fontsize=9)
    handles, labels = ax.get_legend_handles_labels()
    handles += [plt.Rectangle((0, 0), 1, 1, color=colours[a]) for a in areas]
    ax.legend(handles, labels + areas, loc="lower right", fontsize=8)
    fig.savefig(path, dpi=110, bbox_inches="tight")
    plt.close(fig)
    print(f"wrote {path}")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--area", action="append", default=[], help="only this area (repeatable)")
    parser.add_argument("--min-time", type=float, default=0.2, help="seconds per timing round set (default 0.2)")
    parser.add_argument("--out", type=Path, default=HERE / "out", help="output directory (default bench/out)")
    args = parser.parse_args(argv)

    cases, failed = load_cases(set(args.area))
    if not cases:
        print("no benchmark cases found", file=sys.stderr)
        return 1
    rows, errors = measure(cases, args.min_time)
    print_report(rows, errors, failed)
    args.out.mkdir(parents=True, exist_ok=True)
    write_csv(rows, args.out / "ratios.csv")
    plot(rows, args.out / "ratios.png")
    return 0


if __name__ == "__main__":
    sys.exit(main())
