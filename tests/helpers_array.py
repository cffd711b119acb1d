"""Reference helpers shared by the array tests."""
import itertools

import kestrum


def flat(a):
    return list(a)


def strides(shape):
    out, acc = [], 1
    for d in reversed(shape):
        out.append(acc)
        acc *= d
    return out[::-1]


def broadcast_pairs(sa, sb):
    """(result shape, position pairs) computed independently of the library."""
    n = max(len(sa), len(sb))
    pa, pb = [1] * (n - len(sa)) + list(sa), [1] * (n - len(sb)) + list(sb)
    shape = []
    for x, y in zip(pa, pb):
        if x != y and x != 1 and y != 1:
            return None, None
        shape.append(y if x == 1 else x)
    ta, tb = strides(pa), strides(pb)
    pairs = []
    for idx in itertools.product(*[range(d) for d in shape]):
        i = sum(k * t for k, t, d in zip(idx, ta, pa) if d != 1)
        j = sum(k * t for k, t, d in zip(idx, tb, pb) if d != 1)
        pairs.append((i, j))
    return shape, pairs


def arange(shape, start=1.0, scale=1.0):
    n = 1
    for d in shape:
        n *= d
    return kestrum.Array(list(shape), [start + scale * i for i in range(n)])
