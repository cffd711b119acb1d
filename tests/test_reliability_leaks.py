"""Memory and reference counts stay flat when every entry is called many times, on success and
failure paths alike (scenarios in bench/leaks.py; run that script for the long version)."""
import os
import sys
import tracemalloc

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "bench"))
import leaks  # noqa: E402

ROUNDS = 300
# A leak of one small object or one heap block per call grows by at least 32 bytes a call,
# 9600 bytes over the rounds; the meters' own noise after warm-up stays below these bounds.
PYTHON_BOUND = 3000
HEAP_BOUND = 6000

SCENARIOS = leaks.scenarios()


@pytest.fixture(scope="module")
def traced():
    tracemalloc.start()
    yield
    tracemalloc.stop()


@pytest.mark.parametrize("scenario", SCENARIOS, ids=[s[0] for s in SCENARIOS])
def test_repeated_calls_do_not_grow_memory_or_reference_counts(traced, scenario):
    name, watched, call = scenario
    # A leak grows in every window; allocator and cache noise (first-time NumPy imports, free
    # lists) does not, so the smallest growth of up to three windows is judged.
    python_growth = heap_growth = ref_growth = float("inf")
    for _ in range(3):
        p, h, r = leaks.measure(call, watched, ROUNDS, warmup=100)
        python_growth, heap_growth, ref_growth = min(python_growth, p), min(heap_growth, h), min(ref_growth, r)
        if python_growth < PYTHON_BOUND and heap_growth < HEAP_BOUND and ref_growth == 0:
            break
    assert ref_growth == 0, f"{name}: arguments gained {ref_growth} references"
    # The leak-checking sanitizer run (scripts/sanitize --leaks) routes every Python object
    # through the instrumented malloc, which changes what the interpreter's caches keep; the
    # leak checker itself judges that run.
    if os.environ.get("PYTHONMALLOC") != "malloc":
        assert python_growth < PYTHON_BOUND, f"{name}: Python objects grew by {python_growth} bytes"
    # The sanitizer build has its own allocator, which the C heap meter does not see.
    if leaks.heap_in_use and not os.environ.get("KESTRUM_SANITIZED"):
        assert heap_growth < HEAP_BOUND, f"{name}: the C heap grew by {heap_growth} bytes"
