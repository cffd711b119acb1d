"""Instruction cost of the interrupt checks (and anything else that changed) in long calls.

    python bench/interrupt_cost.py BEFORE_BUILD_DIR AFTER_BUILD_DIR

runs the workloads below under callgrind once per build (PYTHONPATH=<dir>) and compares the
inclusive instruction count of each call's core entry. Instruction counts do not depend on the
load of the machine, so a difference well under 1% is measurable on a busy one."""
import os
import re
import subprocess
import sys
import tempfile

# name, core entry (start of its demangled name), workload
WORKLOADS = [
    ("uniform 2e6", "kestrum::Generator::uniform(", "g.uniform(0.0, 1.0, [2_000_000])"),
    ("randint 2e6", "kestrum::Generator::randint_f64(", "g.randint(0, 1000, [2_000_000])"),
    ("normal 5e5", "kestrum::Generator::normal(", "g.normal(0.0, 1.0, [500_000])"),
    ("gamma 3e5", "kestrum::Generator::gamma(", "g.gamma(0.7, 1.0, [300_000])"),
    ("spearman 3e5", "kestrum::stats::spearman(", "stats.spearman(v, w)"),
    ("median 2e6", "kestrum::stats::median(", "stats.median(big)"),
    ("matmul 300", "kestrum::matmul(", "linalg.matmul(m, m)"),
    ("qr 300", "kestrum::qr(", "linalg.qr(m)"),
    ("cholesky 600", "kestrum::cholesky(", "linalg.cholesky(spd)"),
    ("eig 40 x 300 it", "kestrum::eig_with_params(", "linalg.eig_with_params(e, 300, 0.0)"),
    ("KDTree build 2e5", "kestrum::spatial::KDTree::from_ndarray(", "spatial.KDTree.from_array(pts)"),
    ("BallTree build 2e5", "kestrum::spatial::BallTree::from_ndarray(", "spatial.BallTree.from_array(pts)"),
    ("VPTree build 2e5", "kestrum::spatial::VPTree::from_ndarray(", "spatial.VPTree.from_array(pts)"),
    ("KDTree knn 2000 x k=5", "kestrum::spatial::KDTree::query_knn(", "[kd.query_knn(q, 5) for q in qs]"),
    ("BallTree radius 2000", "kestrum::spatial::BallTree::query_radius(", "[ball.query_radius(q, 0.05) for q in qs]"),
    ("VPTree knn k=1e5", "kestrum::spatial::VPTree::query_knn(", "vp.query_knn([0.5, 0.5, 0.5], 100_000)"),
    ("KDTree density 300 rows", "kestrum::spatial::DensityEstimates<kestrum::spatial::KDTree>::kernel_density(",
     "kd.kernel_density(dq, 0.1)"),
]

SETUP = """
import kestrum
from kestrum import linalg, random, spatial, stats
g = random.seed(1)
v = g.uniform(0, 1, [300_000]); w = g.normal(0, 1, [300_000]); big = g.uniform(0, 1, [2_000_000])
m = g.uniform(0, 1, [300, 300]); s6 = g.uniform(0, 1, [600, 600])
spd = linalg.matmul(s6, linalg.transpose(s6)) + kestrum.eye(600) * 600.0
e = g.uniform(0, 1, [40, 40])
pts = g.uniform(0, 1, [200_000, 3])
kd = spatial.KDTree.from_array(pts); ball = spatial.BallTree.from_array(pts); vp = spatial.VPTree.from_array(pts)
qs = [list(r) for r in g.uniform(0, 1, [2000, 3]).tolist()]
dq = g.uniform(0, 1, [300, 3])
g = random.seed(2)
"""


def run_workloads():
    ns = {}
    exec(SETUP, ns)
    for _, _, call in WORKLOADS:
        eval(call, ns)


def inclusive_counts(build):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        env = dict(os.environ, PYTHONPATH=os.path.abspath(build))
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable,
                        os.path.abspath(__file__), "--run"], env=env, check=True, capture_output=True)
        report = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", out],
                                capture_output=True, text=True, check=True).stdout
    counts = {}
    for line in report.splitlines():
        m = re.match(r"\s*([\d,]+)\s+\([^)]*\)\s+\S*?:?(kestrum::.*)", line) or re.match(r"\s*([\d,]+)\s+(?:\S+:)?(kestrum::.*)", line)
        if not m:
            continue
        for name, entry, _ in WORKLOADS:
            if m.group(2).startswith(entry) and name not in counts:
                counts[name] = int(m.group(1).replace(",", ""))
    return counts


def main():
    if sys.argv[1:] == ["--run"]:
        return run_workloads()
    before, after = (inclusive_counts(d) for d in sys.argv[1:3])
    print(f"{'workload':28s} {'before (Ir)':>15s} {'after (Ir)':>15s} {'change':>8s}")
    for name, _, _ in WORKLOADS:
        b, a = before.get(name), after.get(name)
        change = f"{(a - b) / b * 100:+.3f}%" if a and b else "n/a"
        print(f"{name:28s} {b or 0:>15,d} {a or 0:>15,d} {change:>8s}")


if __name__ == "__main__":
    main()
