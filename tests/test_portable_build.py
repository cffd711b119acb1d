"""Builds the module with every kernel on its portable path (CMake option KESTRUM_PORTABLE) and
runs the tests that compare results bit for bit against plain references on that build, so the
paths a processor without AVX2 takes stay exact on a machine that has it."""
import os
import subprocess
import sys

import pytest

from support import ROOT, build_variant

# The modules whose results come from kernels with an AVX2 and a portable path.
EXACT_MODULES = ["test_array_math.py", "test_array_arithmetic.py", "test_linalg_products.py",
                 "test_linalg_decompose.py", "test_stats_order.py", "test_stats_reductions.py",
                 "test_stats_correlation.py", "test_vector_math.py"]


@pytest.mark.skipif(bool(os.environ.get("KESTRUM_SANITIZED")), reason="the sanitizer run covers one build")
def test_portable_build_gives_the_same_bits():
    build = build_variant("portable", "-DKESTRUM_PORTABLE=ON")
    with open(os.path.join(build, "CMakeCache.txt")) as cache:
        assert "KESTRUM_PORTABLE:BOOL=ON" in cache.read()
    env = dict(os.environ, PYTHONPATH=build)
    run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider",
                          *(os.path.join("tests", m) for m in EXACT_MODULES)],
                         cwd=ROOT, env=env, capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stdout[-6000:] + run.stderr[-2000:]
