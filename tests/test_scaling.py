"""The scaling guide's recipes run as the scripts they are: a process pool started with the spawn
method, and a local Dask cluster of two worker processes (loopback only, no dashboard), both giving
results bit-identical to one process."""
import re

import pytest

from test_examples import check_ran, run_example
from test_stubs import ROOT

GUIDE = ROOT / "docs" / "guide" / "scaling.md"


def recipe(marker):
    """The script block of the guide that contains `marker`."""
    blocks = re.findall(r"^```python\n(.*?)^```", GUIDE.read_text(), re.M | re.S)
    return next(b for b in blocks if marker in b and '__name__ == "__main__"' in b)


@pytest.mark.parametrize("marker, needs, prelude, expected", [
    ("ProcessPoolExecutor", None, "import multiprocessing; multiprocessing.set_start_method('spawn')",
     "process pool: bit-identical to one process"),
    ("LocalCluster", "dask.distributed", "", "dask cluster: bit-identical to one process"),
])
def test_recipe(tmp_path, marker, needs, prelude, expected):
    if needs:
        pytest.importorskip(needs)
    script = tmp_path / "recipe.py"
    script.write_text(recipe(marker))
    proc = run_example(script, tmp_path, prelude=prelude)
    check_ran(proc, script)
    assert expected in proc.stdout
