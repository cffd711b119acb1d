"""Helpers shared by the test modules: the panic type, bit patterns of floats, and building the
module in another configuration from this source checkout."""
import math
import os
import shutil
import struct
import subprocess

import pytest

import kestrum

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _panic_type():
    # The class is not a module attribute; an impossible allocation is the simplest way to meet it.
    try:
        kestrum.zeros([2**62])
    except BaseException as e:
        assert type(e).__name__ == "PanicException", repr(e)
        return type(e)
    raise AssertionError("expected a panic")


PanicException = _panic_type()


def bits(x, nan_payload=False):
    """Bit pattern of a float, or the list of patterns of a sequence of floats; -0.0 differs from
    0.0. Every NaN is one value unless `nan_payload` is set (selections return a stored NaN itself;
    arithmetic on NaNs may keep either operand's payload)."""
    if not isinstance(x, (int, float)):
        return [bits(float(v), nan_payload) for v in x]
    return "nan" if math.isnan(x) and not nan_payload else struct.pack("<d", x)


def gcc_runtime(name):
    """Absolute path of a runtime library shipped with gcc (e.g. libasan.so), or None."""
    gcc = shutil.which("gcc")
    if not gcc:
        return None
    path = subprocess.run([gcc, f"-print-file-name={name}"], capture_output=True, text=True).stdout.strip()
    return path if os.path.isabs(path) and os.path.exists(path) else None


def build_variant(name, *cmake_args):
    """Builds the module into build/<name> with scripts/dev-build; skips the calling test when no
    toolchain (or no source checkout) is there, fails it when the build fails."""
    for tool in ("cmake", "ninja", "g++"):
        if not shutil.which(tool):
            pytest.skip(f"{tool} not found")
    if not os.path.exists(os.path.join(ROOT, "CMakeLists.txt")):
        pytest.skip("not run from a source checkout")
    build = subprocess.run([os.path.join(ROOT, "scripts", "dev-build"), name, *cmake_args],
                           cwd=ROOT, capture_output=True, text=True, timeout=900)
    if build.returncode != 0:
        if "Could NOT find Python" in build.stderr + build.stdout:
            pytest.skip("Python development files not found")
        pytest.fail(f"{name} build failed:\n" + build.stdout[-3000:] + build.stderr[-3000:])
    return os.path.join(ROOT, "build", name)
