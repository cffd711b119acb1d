"""Runs every Python example of the documentation, so the documentation cannot drift from the module.

A ```python block with `>>>` prompts is checked like a doctest (output and exception messages must
match; `...` is a wildcard). A ```python block without prompts must run without raising. Each block
runs in a fresh namespace that already holds `kestrum` and its four submodules. A block that fails
only because it uses an entry that is not built yet is skipped, and becomes a real check by itself as
soon as that entry works.
"""
from __future__ import annotations

import contextlib
import doctest
import io
import re
import sys
import traceback
from pathlib import Path

import pytest

import kestrum
from test_stubs import ROOT, stub_scopes

DOC_FILES = sorted((ROOT / "docs").rglob("*.md")) + [ROOT / "README.md"]
FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
OPTIONAL = re.compile(r"No module named '(dask|distributed|numpy)'")
BLOCK = re.compile(r"^```python[ \t]*\n(.*?)^```", re.M | re.S)


def blocks_of(path: Path) -> list[tuple[int, str]]:
    text = path.read_text()
    return [(text.count("\n", 0, m.start(1)) + 1, m.group(1)) for m in BLOCK.finditer(text)]


def code_blocks():
    for path in DOC_FILES:
        for index, (line, block) in enumerate(blocks_of(path)):
            yield pytest.param(path, index, block, id=f"{path.relative_to(ROOT)}:{line}")


def fresh_namespace() -> dict:
    return {
        "__name__": "__doc_example__",
        "kestrum": kestrum,
        "linalg": kestrum.linalg,
        "stats": kestrum.stats,
        "random": kestrum.random,
        "spatial": kestrum.spatial,
    }


def run_statement(source: str, ns: dict, filename: str, mode: str = "single"):
    """Runs one example; returns (printed output, exception or None). Expression values are echoed
    as at the interactive prompt."""
    out = io.StringIO()
    saved_hook = sys.displayhook

    def echo(value):
        if value is not None:
            ns["_"] = value
            print(repr(value))

    sys.displayhook = echo
    try:
        with contextlib.redirect_stdout(out):
            exec(compile(source, filename, mode), ns)
    except KeyboardInterrupt:
        raise
    except BaseException as e:  # PanicException derives from BaseException
        return out.getvalue(), e
    finally:
        sys.displayhook = saved_hook
    return out.getvalue(), None


def check_doctest_block(block: str, ns: dict, where: str):
    """Returns None when every example matches, else (exception name or None, message)."""
    checker = doctest.OutputChecker()
    for ex in doctest.DocTestParser().get_examples(block, where):
        flags = FLAGS
        for flag, on in ex.options.items():
            flags = flags | flag if on else flags & ~flag
        got, exc = run_statement(ex.source, ns, f"{where}+{ex.lineno}")
        if exc is None and ex.exc_msg is None and checker.check_output(ex.want, got, flags):
            continue
        if exc is not None and ex.exc_msg is not None:
            got_msg = traceback.format_exception_only(type(exc), exc)[-1]
            if checker.check_output(ex.exc_msg, got_msg, flags):
                continue
        detail = (
            "".join(traceback.format_exception(type(exc), exc, exc.__traceback__)) if exc is not None else got
        )
        return (type(exc).__name__ if exc else None), (
            f"example at line {ex.lineno + 1} of the block:\n{ex.source}expected:\n{ex.exc_msg or ex.want}"
            f"got:\n{detail}"
        )
    return None


def run_block(block: str, ns: dict, where: str):
    """Returns None when the block behaves as written, else (exception name or None, message)."""
    if ">>>" in block:
        return check_doctest_block(block, ns, where)
    _, exc = run_statement(block, ns, where, mode="exec")
    if exc is None:
        return None
    return type(exc).__name__, "".join(traceback.format_exception(type(exc), exc, exc.__traceback__))


# The blocks of one page run in order in one namespace, like a session: later blocks may use names
# that earlier ones defined. State per page: the namespace, how many blocks ran, and whether one of
# them did not complete (then a later NameError is a consequence, not a fault of its own).
_pages: dict[Path, dict] = {}


def run_page_block(path: Path, index: int):
    """Runs block `index` of the page (and any earlier block not run yet); returns its outcome and
    whether an earlier block of the page did not complete."""
    page = _pages.setdefault(path, {"ns": fresh_namespace(), "ran": 0, "incomplete": False})
    blocks = blocks_of(path)
    while page["ran"] < index:
        line, block = blocks[page["ran"]]
        page["incomplete"] |= run_block(block, page["ns"], f"{path.name}:{line}") is not None
        page["ran"] += 1
    earlier_incomplete = page["incomplete"]
    line, block = blocks[index]
    outcome = run_block(block, page["ns"], f"{path.name}:{line}")
    page["ran"] = index + 1
    page["incomplete"] |= outcome is not None
    return outcome, earlier_incomplete


@pytest.mark.parametrize("path, index, block", list(code_blocks()))
def test_doc_example(path, index, block):
    failure, earlier_incomplete = run_page_block(path, index)
    if failure is None:
        return
    exc_name, message = failure
    if exc_name == "ModuleNotFoundError" and OPTIONAL.search(message):
        pytest.skip(f"optional dependency missing: {message.strip().splitlines()[-1]}")
    if exc_name == "NameError" and earlier_incomplete:
        pytest.skip("needs the result of an earlier example of this page that did not complete")
    pytest.fail(message, pytrace=False)


def _reference_headings() -> set[str]:
    names: set[str] = set()
    for page in sorted((ROOT / "docs" / "api").glob("*.md")):
        for heading in re.findall(r"^#{1,4} (.*)$", page.read_text(), re.M):
            names |= set(re.findall(r"`([\w.]+)`", heading))
    return names


def public_names():
    """Every public name of the module as written in the reference: `kestrum.zeros`, `Array.clip`,
    `linalg.qr`, `spatial.VPTree.query_knn`; slots are described with their class, not one by one."""
    for path, names in stub_scopes().items():
        for name in names:
            if name.startswith("__"):
                continue
            yield f"kestrum.{name}" if path == "" else f"{path}.{name}"


@pytest.mark.parametrize("name", sorted(set(public_names())))
def test_reference_documents_every_public_name(name):
    assert name in _reference_headings(), f"docs/api has no heading for `{name}`"
