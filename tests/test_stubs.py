"""The type stub names exactly what the module exposes, and mypy accepts it and typed usage of it.

The helpers at the top (runtime walk, stub walk) are also used by test_docs.py and test_examples.py.
"""
from __future__ import annotations

import ast
import inspect
import os
import re
import subprocess
import sys
import tempfile
import types
import zlib
from functools import lru_cache
from pathlib import Path

import pytest

import kestrum

ROOT = Path(__file__).resolve().parents[1]
STUB = ROOT / "src" / "python" / "kestrum-stubs" / "__init__.pyi"

# Entries of a type's own dictionary that every extension type has and no stub declares.
TYPE_MACHINERY = {"__doc__", "__module__", "__text_signature__", "__qualname__", "__dict__", "__weakref__"}
# Wrappers of the buffer slots: in a type's dictionary from Python 3.12 on, declared by the stub for
# type checkers on every version; left out of the comparison on both sides.
VERSION_DEPENDENT = {"__buffer__", "__release_buffer__"}


# ---- runtime walk ------------------------------------------------------------------------------

def runtime_scopes() -> dict[str, set[str]]:
    """Public names per scope: '' is the top-level module, 'linalg' a submodule, 'Array' or
    'spatial.VPTree' a class (named by the first place it is reached from)."""
    scopes: dict[str, set[str]] = {"": set(kestrum.__all__)}
    seen: dict[int, str] = {}

    def add_class(path: str, cls: type) -> None:
        if id(cls) in seen:
            return
        seen[id(cls)] = path
        scopes[path] = {n for n in vars(cls) if n not in TYPE_MACHINERY | VERSION_DEPENDENT}

    for name in kestrum.__all__:
        obj = getattr(kestrum, name)
        if isinstance(obj, type):
            add_class(name, obj)
    for name in kestrum.__all__:
        obj = getattr(kestrum, name)
        if isinstance(obj, types.ModuleType):
            scopes[name] = set(obj.__all__)
            for sub in obj.__all__:
                if isinstance(getattr(obj, sub), type):
                    add_class(f"{name}.{sub}", getattr(obj, sub))
    return scopes


def runtime_object(path: str):
    obj = kestrum
    for part in path.split("."):
        obj = getattr(obj, part)
    return obj


# ---- stub walk ---------------------------------------------------------------------------------

@lru_cache(maxsize=None)
def stub_tree() -> ast.Module:
    return ast.parse(STUB.read_text(), filename=str(STUB))


def _body_names(body) -> dict[str, ast.AST]:
    """Declared names of a module or class body (private helpers excluded), to their first node."""
    names: dict[str, ast.AST] = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            name = node.name
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            name = node.target.id
        elif isinstance(node, ast.Assign) and len(node.targets) == 1 and isinstance(node.targets[0], ast.Name):
            name = node.targets[0].id
        else:
            continue
        if name.startswith("_") and not (name.startswith("__") and name.endswith("__")) or name in VERSION_DEPENDENT:
            continue
        names.setdefault(name, node)
    return names


def _is_alias(node: ast.AST) -> bool:
    return isinstance(node, ast.AnnAssign) and isinstance(node.value, ast.Name)


@lru_cache(maxsize=None)
def stub_scopes() -> dict[str, dict[str, ast.AST]]:
    """Declared names per scope, keyed like runtime_scopes(). Submodules are final classes at the
    top level of the stub; an alias inside one refers to a top-level class."""
    top = _body_names(stub_tree().body)
    scopes = {"": {n: v for n, v in top.items() if n != "__all__"}}
    for name, node in top.items():
        if not isinstance(node, ast.ClassDef):
            continue
        members = {n: v for n, v in _body_names(node.body).items() if n != "__all__"}
        scopes[name] = members
        for sub, child in members.items():
            if isinstance(child, ast.ClassDef):
                scopes[f"{name}.{sub}"] = _body_names(child.body)
    return scopes


def stub_all() -> list[str]:
    for node in stub_tree().body:
        if isinstance(node, ast.Assign) and getattr(node.targets[0], "id", None) == "__all__":
            return ast.literal_eval(node.value)
    raise AssertionError("the stub declares no __all__")


def _scope_dunder_filter(path: str, names):
    """Module-like scopes compare public names only; class scopes include their slots."""
    module_like = path == "" or isinstance(runtime_object(path), types.ModuleType)
    return {n for n in names if not (module_like and n.startswith("__"))}


def missing_at_runtime() -> dict[str, set[str]]:
    """Stub names that the running module does not have yet, per scope."""
    rt = runtime_scopes()
    missing = {}
    for path, names in stub_scopes().items():
        if path not in rt:
            continue
        gap = _scope_dunder_filter(path, names) - rt[path]
        if gap:
            missing[path] = gap
    return missing


# ---- tests -------------------------------------------------------------------------------------

def test_stub_all_matches_module():
    assert stub_all() == kestrum.__all__


@pytest.mark.parametrize("path", sorted(runtime_scopes()), ids=lambda p: p or "kestrum")
def test_everything_exposed_is_in_the_stub(path):
    stub = stub_scopes()
    assert path in stub, f"{path} is not described in the stub"
    extra = runtime_scopes()[path] - set(stub[path])
    assert not _scope_dunder_filter(path, extra), f"exposed but missing from the stub: {sorted(extra)}"


@pytest.mark.parametrize("path", sorted(runtime_scopes()), ids=lambda p: p or "kestrum")
def test_everything_in_the_stub_is_exposed(path):
    gap = missing_at_runtime().get(path, set())
    assert not gap, f"declared in the stub but not exposed: {sorted(gap)}"


def test_stub_aliases_are_the_same_runtime_objects():
    scopes = stub_scopes()
    for path in ("linalg", "stats", "random", "spatial"):
        for name, node in scopes[path].items():
            if _is_alias(node):
                assert runtime_object(f"{path}.{name}") is runtime_object(node.value.id), f"{path}.{name}"


def _stub_functions():
    """(runtime path, [FunctionDef of each overload]) for every stub function and method that has a
    text signature: everything but the slots, whose wrappers have generic signatures."""
    out = []
    for path, names in stub_scopes().items():
        owner_body = stub_tree().body if path == "" else _class_node(path).body
        for name, node in names.items():
            if not isinstance(node, ast.FunctionDef) or (name.startswith("__") and name != "__new__"):
                continue
            if any(getattr(d, "id", None) == "property" for d in node.decorator_list):
                continue
            defs = [n for n in owner_body if isinstance(n, ast.FunctionDef) and n.name == name]
            out.append((f"{path}.{name}".lstrip("."), defs))
    return out


def _class_node(path: str) -> ast.ClassDef:
    body = stub_tree().body
    node = None
    for part in path.split("."):
        node = next(n for n in body if isinstance(n, ast.ClassDef) and n.name == part)
        body = node.body
    return node


def _runtime_signature(path: str):
    try:
        return inspect.signature(runtime_object(path.removesuffix(".__new__")))
    except (ValueError, TypeError, AttributeError):
        return None


def _stub_params(fn: ast.FunctionDef, in_class: bool):
    args = fn.args.posonlyargs + fn.args.args
    defaults = [None] * (len(args) - len(fn.args.defaults)) + list(fn.args.defaults)
    pairs = list(zip(args, defaults))
    decorators = {getattr(d, "id", None) for d in fn.decorator_list}
    if in_class and "staticmethod" not in decorators:
        pairs = pairs[1:]  # self or cls
    return pairs


@pytest.mark.parametrize("path, defs", _stub_functions(), ids=lambda v: v if isinstance(v, str) else "")
def test_stub_parameters_match_text_signatures(path, defs):
    sig = _runtime_signature(path)
    if sig is None:
        pytest.skip("no text signature (a slot, or not exposed yet)")
    runtime = [p for p in sig.parameters.values() if p.name != "self"]
    for fn in defs:
        assert [a.arg for a, _ in _stub_params(fn, "." in path)] == [p.name for p in runtime], f"line {fn.lineno}"
    # The last overload is the general form and carries the defaults of the text signature.
    for (arg, default), p in zip(_stub_params(defs[-1], "." in path), runtime):
        expected = inspect.Parameter.empty if default is None else ast.literal_eval(default)
        assert expected == p.default, f"{path}: default of {arg.arg}"


USAGE = '''
import copy
import pickle
import numpy
import numpy.typing
import kestrum
from kestrum import linalg, stats, random, spatial

a = kestrum.Array([2, 2], [4, 2, 2, 3])
b = kestrum.asarray([1, 2, 3, 4], shape=(2, 2))
reveal_type(linalg.qr(a))  # R: tuple[kestrum.Array, kestrum.Array]
reveal_type(kestrum.linalg.eig_with_params(a, max_iter=10, tol=1e-6))  # R: tuple[kestrum.Array, kestrum.Array]
reveal_type(stats.quantile(a, 0.5))  # R: float
reveal_type(stats.quantile(a, kestrum.asarray([0.1, 0.9])))  # R: kestrum.Array
reveal_type(a.quantile(1))  # R: float
reveal_type(a.tolist())  # R: float | list[Any]
reveal_type(a[0])  # R: float | kestrum.Array
reveal_type(a[1:])  # R: kestrum.Array
reveal_type(a.get([0, 1]))  # R: float
reveal_type(1.0 - a * 2 + a @ b / a)  # R: kestrum.Array
reveal_type(-a)  # R: kestrum.Array
reveal_type(0.5 in a)  # R: bool
reveal_type([x for x in a])  # R: list[float]
reveal_type(stats.all(a))  # R: bool
reveal_type(kestrum.column_stack([a, b]))  # R: kestrum.Array
g: random.Generator = random.seed(7)
h: kestrum.Generator = kestrum.Generator.from_seed(7)
reveal_type(g.uniform(0, 1, [3]))  # R: kestrum.Array
t = spatial.VPTree.from_array(a, selection="random")
v: spatial.VPTree = t
k: kestrum.KDTree = spatial.KDTree.from_array(a, leaf_size=None, metric="manhattan")
reveal_type(k.query_knn([0.0, 1.0], 2))  # R: list[int]
reveal_type(t.kernel_density())  # R: float | kestrum.Array
reveal_type(t.kernel_density([0.0, 1.0], bandwidth=0.5))  # R: float
reveal_type(kestrum.BallTree.from_array(a).kernel_density_approx(a, criterion="min_samples", min_samples=3))  # R: float | kestrum.Array
n: numpy.typing.NDArray[numpy.float64] = a.to_numpy()
c = kestrum.Array.from_numpy(n)
a[0, 1] = 5
reveal_type(memoryview(a))  # R: memoryview[int]
reveal_type(copy.deepcopy(g))  # R: kestrum.Generator
reveal_type(pickle.loads(pickle.dumps(t)))  # R: Any
reveal_type(copy.copy(t))  # R: kestrum.spatial.VPTree
'''

MISUSE = '''
import kestrum
import kestrum.linalg  # E: import-not-found
from kestrum import linalg, stats, spatial

a = kestrum.Array([2], [1, 2])
linalg.qr([[1.0]])  # E: arg-type
stats.quantile(a, [0.5])  # E: call-overload
a @ 2  # E: operator
[1.0] @ a  # E: operator
kestrum.zeros(3)  # E: arg-type
kestrum.VPTree  # E: attr-defined
spatial.KDTree.from_array([[0.0]])  # E: arg-type
x: float = a.quantile(a)  # E: assignment
a.sum(axis=0)  # E: call-arg
kestrum.Array.column_stack([a])  # E: attr-defined
"x" in a  # E: operator
a[0] = a  # E: assignment
linalg.eig_with_params(a, max_iter=None)  # E: arg-type
'''


# Kept between runs (checking NumPy's own stubs from scratch dominates a cold run), one per checkout
# so that test runs in different checkouts never share it.
MYPY_CACHE = Path(tempfile.gettempdir()) / f"kestrum-mypy-cache-{zlib.crc32(str(ROOT).encode()):08x}"


def _plain(revealed: str) -> str:
    """Revealed types in the notation of current mypy releases, whatever the installed one prints."""
    revealed = revealed.replace("builtins.", "").replace("Tuple[", "tuple[").replace("List[", "list[")
    return re.sub(r"Union\[([^\[\]]*)\]", lambda m: " | ".join(m.group(1).split(", ")), revealed)


MYPY_ARGS = ["--strict", "--no-pretty", "--hide-error-context", "--no-error-summary", "--cache-dir", str(MYPY_CACHE)]


def check_mypy_findings(out: str) -> None:
    """The usage file reveals exactly the types its `# R:` comments name and the misuse file fails
    exactly where its `# E:` comments say, with those error codes; nothing else is reported."""
    found = re.findall(r"^(\S+?):(\d+): (error|note): (.*?)(?:  \[([\w-]+)\])?$", out, re.M)
    revealed = {(int(line), _plain(text)) for f, line, kind, text, _ in found if f == "usage.py" and kind == "note"}
    errors = {(f, int(line), code) for f, line, kind, _, code in found if kind == "error"}
    expected_reveals = {
        (i, f'Revealed type is "{m.group(1)}"')
        for i, text in enumerate(USAGE.splitlines(), 1)
        if (m := re.search(r"# R: (.*)$", text))
    }
    expected_errors = {
        ("misuse.py", i, m.group(1))
        for i, text in enumerate(MISUSE.splitlines(), 1)
        if (m := re.search(r"# E: ([\w-]+)$", text))
    }
    assert revealed == expected_reveals, out
    assert errors == expected_errors, out


def test_mypy_accepts_the_stub_and_typed_usage(tmp_path, monkeypatch):
    """The stub source itself (checked too, which an installed stub is not) on the search path."""
    api = pytest.importorskip("mypy.api")
    pytest.importorskip("numpy")  # the stub types the NumPy bridge with numpy.typing
    (tmp_path / "kestrum.pyi").write_text(STUB.read_text())
    (tmp_path / "usage.py").write_text(USAGE)
    (tmp_path / "misuse.py").write_text(MISUSE)
    monkeypatch.setenv("MYPYPATH", str(tmp_path))
    monkeypatch.chdir(tmp_path)
    out, err, _ = api.run([*MYPY_ARGS, "kestrum.pyi", "usage.py", "misuse.py"])
    assert not err, err
    check_mypy_findings(out)


@pytest.mark.slow
def test_plain_mypy_finds_the_installed_types(tmp_path):
    """As a user meets it: `pip install` of this checkout into a fresh virtual environment, then
    plain `mypy --strict` with no search path set. The environment sees the interpreter's own
    packages only to borrow mypy and NumPy; kestrum and its stub package are installed into it."""
    pytest.importorskip("mypy")
    pytest.importorskip("numpy")
    env = {k: v for k, v in os.environ.items() if k not in {"PYTHONPATH", "MYPYPATH", "PYTHONHOME"}}

    def run(*cmd: str, ok_codes=(0,)) -> str:
        proc = subprocess.run(cmd, cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600)
        assert proc.returncode in ok_codes, f"{cmd}:\n{proc.stdout}\n{proc.stderr}"
        return proc.stdout

    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", "--system-site-packages", str(venv))
    python = str(venv / "bin" / "python")
    run(python, "-m", "pip", "install", "-q", "--disable-pip-version-check", str(ROOT))
    site, module = run(python, "-c", "import kestrum, sysconfig; print(sysconfig.get_path('platlib')); print(kestrum.__file__)").split()
    site = Path(site)
    assert Path(module).parent == site
    assert (site / "kestrum-stubs" / "__init__.pyi").read_text() == STUB.read_text()
    assert not (site / "py.typed").exists()
    (tmp_path / "usage.py").write_text(USAGE)
    (tmp_path / "misuse.py").write_text(MISUSE)
    # Exit status 1: the misuse file has errors.
    check_mypy_findings(run(python, "-m", "mypy", *MYPY_ARGS, "usage.py", "misuse.py", ok_codes=(1,)))
