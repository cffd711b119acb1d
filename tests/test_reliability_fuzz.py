"""Every public entry, thrown arbitrary arguments: it returns a result or raises one of the
exception types the library uses; it never crashes, hangs or reports a foreign failure."""
import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kestrum
from support import PanicException, bits
from reliability_values import ENTRIES, PARAMS, Boom, arrays, floats, odd, wild

# The exception types an entry may raise: its own, the interpreter's conversion errors (BufferError
# for an Array too large to export as a buffer), and
# whatever a hostile conversion hook raised (Boom), which must pass through unchanged.
ALLOWED = (TypeError, ValueError, OverflowError, NotImplementedError, BufferError, PanicException, MemoryError, Boom)
RESULT_TYPES = (kestrum.Array, float, bool, list, tuple, int, np.ndarray, kestrum.Generator, kestrum.spatial.KDTree,
                kestrum.spatial.BallTree, kestrum.spatial.VPTree)

FUZZ = settings(max_examples=25, derandomize=True, deadline=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much, HealthCheck.data_too_large])


def outcome(call):
    """'ok' with the result, or the exception's type; anything else fails the test."""
    try:
        result = call()
    except ALLOWED as e:
        return type(e), None
    except BaseException as e:  # pragma: no cover - the failure we are looking for
        raise AssertionError(f"unexpected {type(e).__name__}: {e}") from e
    assert isinstance(result, RESULT_TYPES) or result is None, type(result)
    return "ok", result


def touch(result):
    """Reads a result completely, so a corrupt array shows up here rather than later."""
    if isinstance(result, kestrum.Array):
        assert len(result) == math.prod(result.shape)
        if len(result) <= 4096:
            assert len(list(result)) == len(result)
            repr(result)
    elif isinstance(result, (list, tuple)):
        for item in result:
            touch(item)


@pytest.mark.parametrize("entry", ENTRIES, ids=[e[0] for e in ENTRIES])
@FUZZ
@given(data=st.data())
def test_entry_survives_arbitrary_arguments(entry, data):
    label, area, receiver, call, params, required = entry
    target = receiver(data.draw) if receiver else None
    count = data.draw(st.integers(required, len(params)), label="count")
    args = [data.draw(wild(PARAMS[p]), label=p) for p in params[:count]]
    # Some arguments go by keyword; once one does, all later ones must too.
    split = data.draw(st.integers(0, count), label="positional")
    kwargs = dict(zip(params[split:count], args[split:]))
    kind, result = outcome(lambda: call(target, *args[:split], **kwargs))
    if kind == "ok":
        touch(result)
    # Binding errors: a surplus positional argument and an unknown keyword are TypeErrors.
    assert outcome(lambda: call(target, *args[:split], *([0.0] * (len(params) + 1 - split))))[0] is TypeError
    assert outcome(lambda: call(target, bogus_keyword=1))[0] is TypeError


SLOTS = {
    "add": lambda a, b: a + b,
    "radd": lambda a, b: b + a,
    "sub": lambda a, b: a - b,
    "rsub": lambda a, b: b - a,
    "mul": lambda a, b: a * b,
    "truediv": lambda a, b: a / b,
    "rtruediv": lambda a, b: b / a,
    "matmul": lambda a, b: a @ b,
    "rmatmul": lambda a, b: b @ a,
    "neg": lambda a, b: -a,
    "getitem": lambda a, b: a[b],
    "getitem_tuple": lambda a, b: a[b, b],
    "setitem": lambda a, b: a.__setitem__(b, 1.0),
    "setitem_value": lambda a, b: a.__setitem__(0, b),
    "setitem_tuple": lambda a, b: a.__setitem__((b,) * len(a.shape), 2.0),
    "delitem": lambda a, b: a.__delitem__(b),
    "contains": lambda a, b: b in a,
    "iter": lambda a, b: list(iter(a)),
    "len_repr_shape": lambda a, b: (len(a), repr(a), a.shape),
    "bool": lambda a, b: bool(a),
}


@pytest.mark.parametrize("slot", SLOTS, ids=list(SLOTS))
@FUZZ
@given(a=arrays(), other=st.one_of(arrays(), floats, odd, st.integers(-(2**70), 2**70),
                                   st.slices(12), st.tuples(st.integers(-5, 5), st.integers(-5, 5))))
def test_array_slots_survive_arbitrary_operands(slot, a, other):
    before = repr(a)
    kind, result = outcome(lambda: SLOTS[slot](a, other))
    if kind == "ok":
        touch(result)
    if not slot.startswith("setitem"):
        assert repr(a) == before, "a read-only slot changed its operand"
    if slot == "delitem":
        assert kind is NotImplementedError


@FUZZ
@given(a=arrays(st.lists(st.integers(0, 3), max_size=3)), key=st.one_of(st.integers(-6, 6), st.tuples(st.integers(-6, 6)),
                                 st.tuples(st.integers(-6, 6), st.integers(-6, 6)),
                                 st.tuples(st.integers(-6, 6), st.integers(-6, 6), st.integers(-6, 6))),
       value=floats)
def test_assignment_changes_exactly_the_addressed_element(a, key, value):
    ref = np.array(list(a), dtype=np.float64).reshape(a.shape)
    kind, _ = outcome(lambda: a.__setitem__(key, value))
    flat_after = list(a)
    if kind != "ok":
        assert np.array_equal(np.array(flat_after).reshape(a.shape), ref, equal_nan=True)
        return
    ref[key] = value
    assert [bits(x) for x in flat_after] == [bits(x) for x in ref.ravel()]
