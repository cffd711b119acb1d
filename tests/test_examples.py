"""Runs every script of examples/ in a temporary directory, as a user would."""
from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from test_stubs import ROOT

EXAMPLES = ROOT / "examples"
PNG_MAGIC = b"\x89PNG\r\n\x1a\n"


def run_example(script: Path, cwd: Path, *args: str, prelude: str = ""):
    """Runs the script with this interpreter and module path; `prelude` runs first in the same
    process (used to hide an optional dependency)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    code = f"{prelude}\nimport runpy, sys\nsys.argv = {[str(script), *args]!r}\nrunpy.run_path({str(script)!r}, run_name='__main__')"
    return subprocess.run([sys.executable, "-c", code], cwd=cwd, env=env, capture_output=True, text=True, timeout=120)


def check_ran(proc, script: Path):
    """Fails unless the script ran to its end."""
    if proc.returncode != 0:
        pytest.fail(f"{script.name} failed:\n{proc.stdout}\n{proc.stderr}", pytrace=False)


def test_every_example_is_covered():
    assert {p.name for p in EXAMPLES.glob("*.py")} == {"quickstart.py", "kernel_density.py", "nearest_neighbours.py",
                                                         "dask_density.py"}


def test_quickstart_prints_every_area(tmp_path):
    proc = run_example(EXAMPLES / "quickstart.py", tmp_path)
    check_ran(proc, EXAMPLES / "quickstart.py")
    for section in ("Arrays", "Linear algebra", "Statistics", "Random sampling", "Spatial"):
        assert f"== {section}" in proc.stdout
    assert "Array(shape=[2, 3]" in proc.stdout


def test_nearest_neighbours(tmp_path):
    proc = run_example(EXAMPLES / "nearest_neighbours.py", tmp_path)
    check_ran(proc, EXAMPLES / "nearest_neighbours.py")
    assert "all three trees return the same neighbours: True" in proc.stdout
    assert re.search(r"customer 0 at .*: nearest stores #\d+", proc.stdout)


def test_kernel_density_writes_a_png(tmp_path):
    pytest.importorskip("matplotlib")
    proc = run_example(EXAMPLES / "kernel_density.py", tmp_path, "kde.png")
    check_ran(proc, EXAMPLES / "kernel_density.py")
    assert (tmp_path / "kde.png").read_bytes()[:8] == PNG_MAGIC
    assert f"wrote the plot to {tmp_path / 'kde.png'}" in proc.stdout
    mass = float(re.search(r"mass on the grid ([\d.]+)", proc.stdout).group(1))
    assert 0.95 < mass < 1.01


def test_kernel_density_without_matplotlib(tmp_path):
    hide = "import sys; sys.modules['matplotlib'] = None"
    proc = run_example(EXAMPLES / "kernel_density.py", tmp_path, prelude=hide)
    check_ran(proc, EXAMPLES / "kernel_density.py")
    assert "matplotlib is not installed: skipping the plot" in proc.stdout
    assert "peak density" in proc.stdout
    assert not list(tmp_path.glob("*.png"))


def test_dask_density_on_one_and_two_workers(tmp_path):
    pytest.importorskip("dask.distributed")
    proc = run_example(EXAMPLES / "dask_density.py", tmp_path, "60000")
    check_ran(proc, EXAMPLES / "dask_density.py")
    assert re.search(r"1 worker process .*bit-identical", proc.stdout), proc.stdout
    assert re.search(r"2 worker processes.*bit-identical", proc.stdout), proc.stdout


def test_benchmark_report_runner(tmp_path):
    """bench/run.py end to end on the quickest area: table, CSV and (with matplotlib) the chart."""
    pytest.importorskip("numpy")
    proc = run_example(ROOT / "bench" / "run.py", tmp_path, "--area", "core", "--min-time", "0.001",
                       "--out", str(tmp_path / "out"))
    check_ran(proc, ROOT / "bench" / "run.py")
    assert "geometric mean speedup" in proc.stdout and "[1/" in proc.stderr
    assert re.search(r"^.+ \(\d+ cores\), Python [\d.]+, NumPy [\d.]+.*; \d{4}-\d\d-\d\d$", proc.stdout, re.M)
    # Every value lines up with its header: speedups end under "speedup", peer names start under "peer is".
    lines = proc.stdout.splitlines()
    head = next(i for i, line in enumerate(lines) if line.startswith("area "))
    speedup_end = lines[head].index("speedup") + len("speedup")
    label_at = lines[head].index("peer is")
    for row in lines[head + 1:lines.index("", head)]:
        assert row[speedup_end - 1] in "x-" and row[speedup_end] == " ", row
        assert row[label_at - 1] == " " and row[label_at] != " ", row
    rows = (tmp_path / "out" / "ratios.csv").read_text().splitlines()
    assert rows[0].startswith("area,case,") and len(rows) > 1 and all(r.startswith("core,") for r in rows[1:])
    chart = tmp_path / "out" / "ratios.png"
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert not chart.exists()
    else:
        assert chart.read_bytes()[:8] == PNG_MAGIC
