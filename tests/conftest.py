import kestrum


def _panic_type():
    try:
        kestrum.Array([2**40, 2**40], [])
    except BaseException as e:  # the only way to reach the class: it is not a module attribute
        return type(e)
    raise AssertionError("expected a panic")


PanicException = _panic_type()
