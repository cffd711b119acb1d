"""Quick check of a kestrum build under the running interpreter: import, one call into each area,
the pickle round trip, and every Python example of the documentation. Prints one line per
failure and exits non-zero when anything failed; run by scripts/check-pythons."""
import doctest
import pickle
import re
import sys
import traceback
from pathlib import Path

import kestrum
from kestrum import linalg, random, spatial, stats

ROOT = Path(__file__).resolve().parent.parent
failures = []


def check(name, condition):
    if not condition:
        failures.append(name)


def area_calls():
    a = kestrum.Array([2, 2], [4.0, 1.0, 1.0, 3.0])
    check("array", list(a + 1.0) and (a * a).tolist() == [[16.0, 1.0], [1.0, 9.0]])
    check("linalg", linalg.matmul(a, linalg.cholesky(a)).shape == [2, 2] and linalg.eigvals(a).shape == [2])
    check("stats", stats.median(a) == 2.0 and stats.pearson(kestrum.asarray([1, 2, 3]), kestrum.asarray([2, 4, 7])) > 0.9)
    g = random.seed(3)
    check("random", list(g.normal(0.0, 1.0, [4])) != list(g.normal(0.0, 1.0, [4])))
    t = spatial.KDTree.from_array(kestrum.Array([3, 1], [0.0, 1.0, 5.0]), 1)
    check("spatial", t.query_knn([0.9], 2) == [1, 0] and t.kernel_density([0.0], 1.0, "uniform") == 0.5)


def pickle_round_trip():
    objects = [kestrum.asarray([1.0, 2.5]), random.seed(5),
               spatial.BallTree.from_array(kestrum.Array([2, 2], [0.0, 1.0, 2.0, 3.0]))]
    for obj in objects:
        copy = pickle.loads(pickle.dumps(obj))
        check(f"pickle {type(obj).__name__}", type(copy) is type(obj))
    check("pickle values", list(pickle.loads(pickle.dumps(objects[0]))) == [1.0, 2.5])
    g = random.seed(5)
    check("pickle state", list(pickle.loads(pickle.dumps(g)).uniform(0, 1, [2])) == list(g.uniform(0, 1, [2])))


BLOCK = re.compile(r"^```python[ \t]*\n(.*?)^```", re.M | re.S)

try:  # NumPy is optional: pages whose examples use it need it installed
    import numpy  # noqa: F401
    HAVE_NUMPY = True
except ImportError:
    HAVE_NUMPY = False


def doc_examples():
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    parser = doctest.DocTestParser()
    for path in sorted((ROOT / "docs").rglob("*.md")) + [ROOT / "README.md"]:
        text = path.read_text()
        if "import numpy" in text and not HAVE_NUMPY:
            continue  # the page's examples build on NumPy
        # The blocks of one page build on each other, as a reader runs them.
        globs = {"kestrum": kestrum, "linalg": linalg, "stats": stats, "random": random, "spatial": spatial}
        for m in BLOCK.finditer(text):
            line = text.count("\n", 0, m.start(1)) + 1
            name = f"{path.relative_to(ROOT)}:{line}"
            if ">>>" in m.group(1):
                test = parser.get_doctest(m.group(1), globs, name, str(path), line)
                if runner.run(test, out=lambda s: None, clear_globs=False).failed:
                    failures.append(f"doc example {name}")
                globs.update(test.globs)  # the test ran on a copy
            else:
                try:
                    exec(compile(m.group(1), name, "exec"), globs)
                except Exception:
                    failures.append(f"doc example {name}: {traceback.format_exc(limit=1).splitlines()[-1]}")


for step in (area_calls, pickle_round_trip, doc_examples):
    try:
        step()
    except Exception as e:
        failures.append(f"{step.__name__}: {type(e).__name__}: {e}")
for f in failures:
    print(f"  {sys.version.split()[0]}: {f}")
sys.exit(1 if failures else 0)
