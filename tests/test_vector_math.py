"""Array.exp and Array.log against the C library's scalar exp and log, bit for bit (NaN payloads
included): random and boundary inputs on whichever path this machine takes, a child process whose
C library is made to pick another variant (the vector path must step aside), and the vector unit
compiled on its own to show that a qualifying machine takes the vector path. The portable build
(tests/test_portable_build.py) runs this module too."""
import ctypes
import ctypes.util
import math
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import kestrum

np = pytest.importorskip("numpy")

LIBM = ctypes.CDLL(ctypes.util.find_library("m"))
for _name in ("exp", "log"):
    getattr(LIBM, _name).restype = ctypes.c_double
    getattr(LIBM, _name).argtypes = [ctypes.c_double]


def libm(name, x):
    with np.errstate(all="ignore"):
        return np.frompyfunc(getattr(LIBM, name), 1, 1)(x).astype(np.float64)


def mismatches(name, x):
    got = getattr(kestrum.Array.from_numpy(x), name)().to_numpy()
    want = libm(name, x)
    bad = np.flatnonzero(got.view(np.uint64) != want.view(np.uint64))
    return [(x[i], got[i], want[i]) for i in bad[:5]], len(bad)


def from_bits(u):
    return np.asarray(u, dtype=np.uint64).view(np.float64)


def neighbours(values, k):
    """Every value and the k doubles on either side of it."""
    u = np.asarray(values, dtype=np.float64).view(np.uint64)
    return from_bits((u[:, None].astype(np.int64) + np.arange(-k, k + 1)).ravel().astype(np.uint64))


def random_inputs(name, n=10**6):
    rng = np.random.default_rng(16)
    raw = from_bits(rng.integers(0, 2**64, n // 5, dtype=np.uint64))
    if name == "exp":
        spread = rng.uniform(-745.0, 710.0, 3 * n // 5)
        scaled = np.ldexp(rng.uniform(-1, 1, n // 5), rng.integers(-60, 11, n // 5))
    else:
        spread = from_bits((rng.integers(1, 2046, 3 * n // 5, dtype=np.uint64) << 52)
                           | rng.integers(0, 2**52, 3 * n // 5, dtype=np.uint64))
        scaled = rng.uniform(0.9, 1.1, n // 5)
    return np.concatenate([spread, scaled, raw])


SPECIAL = [0.0, -0.0, math.inf, -math.inf, math.nan, 5e-324, -5e-324, 2.2250738585072014e-308,
           1.7976931348623157e308, -1.7976931348623157e308]
NAN_PAYLOADS = from_bits([0x7FF8000000000001, 0xFFF8DEADBEEF1234, 0x7FF4000000000000, 0xFFFFFFFFFFFFFFFF])


def boundary_inputs(name):
    powers = np.ldexp(1.0, np.arange(-1074, 1024))
    common = [np.array(SPECIAL), NAN_PAYLOADS, neighbours(np.concatenate([powers, -powers]), 1)]
    if name == "exp":
        edges = [2.0**-54, 512.0, 1024.0]
        # overflow, least normal result, least subnormal result, rounds to 0 below, a k < 0 rebias
        thresholds = [float.fromhex(h) for h in ("0x1.62e42fefa39efp+9", "-0x1.6232bdd7abcd2p+9",
                                                 "-0x1.74385446d71c3p+9", "-0x1.74910d52d3051p+9", "-0x1.6p+9")]
        ln2_n = math.log(2) / 128
        ties = np.arange(-2 * 95500, 2 * 91000 + 1, 37) * 0.5 * ln2_n  # x * 128 / ln2 near half-integers
        return np.concatenate(common + [neighbours(edges + [-e for e in edges], 300), neighbours(thresholds, 1000),
                                        neighbours(ties, 1), np.arange(-745.2, -708.0, 0.0037)])
    # Every table subinterval edge in every binade, and the bounds of the near-1 path.
    edges = from_bits(((0x3FE6000000000000 + (np.arange(128, dtype=np.uint64) << 45))[None, :]
                       + ((np.arange(1, 2046, dtype=np.uint64) - 1022) << 52)[:, None]).ravel())
    near = from_bits([0x3FEE000000000000, 0x3FF1090000000000])
    return np.concatenate(common + [neighbours(edges, 1), neighbours(near, 1000), neighbours([1.0], 5000),
                                    -neighbours([1.0], 3), from_bits(np.arange(1, 64, dtype=np.uint64))])


@pytest.mark.parametrize("inputs", [random_inputs, boundary_inputs])
@pytest.mark.parametrize("name", ["exp", "log"])
def test_matches_c_library_bit_for_bit(name, inputs):
    x = inputs(name)
    first, count = mismatches(name, x)
    assert count == 0, first


@pytest.mark.parametrize("name", ["exp", "log"])
def test_special_lane_at_every_position_of_every_run_length(name):
    # Lanes handed to the scalar call must be patched at their own position, tails included.
    special = [1e4, math.nan, -0.0, 5e-324] if name == "exp" else [-1.0, math.nan, 0.0, 5e-324]
    for n in range(1, 35):
        for pos in range(n):
            x = np.full(n, 0.75)
            x[pos] = special[(n + pos) % len(special)]
            assert mismatches(name, x)[1] == 0, (n, pos)


# Inputs whose C-library results change with the library's fused-multiply-add decisions: a library
# variant without FMA returns other bits for some of them.
FMA_SENSITIVE = [float.fromhex(h) for h in (
    "-0x1.6195024198de2p+8", "-0x1.c7d37bd6a193p+7", "0x1.39d9dbe1d27p+1", "0x1.14db4df8aefep+6",
    "-0x1.319659be8d977p+8", "0x1.c90808a3d66fp+8", "-0x1.4caa55e1e81e9p+8", "-0x1.e42c87522c2cp+3",
    "-0x1.457583f10db1bp+9", "-0x1.4b5b0efdaad5p+9", "-0x1.5149151f00b5ap+9", "-0x1.38fbfdbc1c92ap+9")]
FMA_SENSITIVE_LOG = [float.fromhex(h) for h in (
    "0x1.0c66a147a40b8p+0", "0x1.084d158396747p+0", "0x1.0f2f6e2a0713dp+0", "0x1.0c8bca56035d7p+0",
    "0x1.0636b29408d4p+0", "0x1.058e62cf690ddp+0", "0x1.0c8f7fca3001bp+0", "0x1.0cc58c19fbf0dp+0")]

CHILD = """
import sys
sys.path[:0] = {path!r}
import numpy as np
import test_vector_math as t
out = []
for name, sens in (("exp", t.FMA_SENSITIVE), ("log", t.FMA_SENSITIVE_LOG)):
    x = np.concatenate([np.array(sens), t.random_inputs(name, 20000), t.boundary_inputs(name)[::7]])
    out.append(t.mismatches(name, x)[1])
    out.append(t.libm(name, np.array(sens)).view(np.uint64).tolist())
print(repr(out))
"""


def test_masked_library_variant_makes_the_vector_path_step_aside():
    env = dict(os.environ, GLIBC_TUNABLES="glibc.cpu.hwcaps=-AVX2,-FMA")
    path = [str(Path(__file__).parent)] + sys.path
    run = subprocess.run([sys.executable, "-c", CHILD.format(path=path)], env=env, capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stderr
    exp_bad, exp_child, log_bad, log_child = eval(run.stdout)
    assert (exp_bad, log_bad) == (0, 0)
    here = [libm("exp", np.array(FMA_SENSITIVE)).view(np.uint64).tolist(),
            libm("log", np.array(FMA_SENSITIVE_LOG)).view(np.uint64).tolist()]
    if [exp_child, log_child] == here:
        pytest.skip("the C library picked the same variant with FMA and AVX2 masked")


DRIVER = r"""
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>
#include "vmath/kernels.hpp"
#include "vmath/vmath.hpp"
using Run = void (*)(double*, const double*, std::size_t);
static long mismatches(Run f, double (*ref)(double), const std::vector<double>& x) {
    std::vector<double> y(x.size());
    f(y.data(), x.data(), x.size());
    long bad = 0;
    for (std::size_t i = 0; i < x.size(); ++i) { double r = ref(x[i]); bad += std::memcmp(&r, &y[i], 8) != 0; }
    return bad;
}
int main() {
    std::vector<double> e, l;
    std::uint64_t s = 16;
    for (int i = 0; i < 300000; ++i) {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        double u;
        std::uint64_t bits = s ^ (s >> 29);
        std::memcpy(&u, &bits, 8);
        e.push_back(i % 3 ? -745.0 + 1455.0 * ((s >> 11) * 0x1p-53) : u);
        l.push_back(i % 3 ? std::fabs(u) : 0.9 + 0.2 * ((s >> 11) * 0x1p-53));
    }
    double (*exp_ref)(double) = ::exp;
    double (*log_ref)(double) = ::log;
    long bad = mismatches(kestrum::vmath::exp, exp_ref, e) + mismatches(kestrum::vmath::log, log_ref, l);
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))  // not what this machine dispatches to
        bad += mismatches(kestrum::vmath::exp_avx2, exp_ref, e) + mismatches(kestrum::vmath::log_avx2, log_ref, l);
    std::printf("%d %ld\n", kestrum::vmath::vector_kernels_active() ? 1 : 0, bad);
}
"""


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs a C++ compiler")
def test_qualifying_machine_takes_the_vector_path(tmp_path):
    """The tests above exercise the vector kernels wherever this holds (a failed self-check would
    otherwise pass them silently on the scalar path); the AVX2 kernels, which a machine with AVX-512
    does not dispatch to, are compared directly."""
    src = Path(__file__).resolve().parents[1] / "src"
    if not (src / "vmath").is_dir():
        pytest.skip("source tree not available")
    (tmp_path / "driver.cpp").write_text(textwrap.dedent(DRIVER))
    subprocess.run(["g++", "-std=c++20", "-O1", "-ffp-contract=off", f"-I{src}", "driver.cpp",
                    *map(str, sorted((src / "vmath").glob("*.cpp"))), "-o", "driver", "-lm"],
                   cwd=tmp_path, check=True, timeout=300)
    active, bad = subprocess.run([str(tmp_path / "driver")], capture_output=True, text=True,
                                 check=True).stdout.split()
    assert bad == "0"
    cpu = Path("/proc/cpuinfo").read_text().split() if Path("/proc/cpuinfo").exists() else []
    if all(f in cpu for f in ("avx512f", "avx512dq", "avx2", "fma")) and \
            os.confstr("CS_GNU_LIBC_VERSION") == "glibc 2.36":
        assert active == "1"
