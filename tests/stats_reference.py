"""Plain-Python statistics that follow the library's stated order of operations, for bit-exact checks.

Python floats are IEEE doubles with correctly rounded + - * / and sqrt, so a loop written in the
same order gives the same bits. Order statistics sort with Python's stable sort, which compares
with `<` only; NaNs are placed after all numbers in storage order (the library's documented choice).
"""
import math
import random
import struct

from support import bits

NAN = float("nan")


def same(a, b):
    """Bit-identical floats (distinguishes -0.0 from 0.0 and NaN payloads)."""
    return bits(a, nan_payload=True) == bits(b, nan_payload=True)


def same_value(got, expected):
    """Bit-identical, except that any NaN matches any NaN: which payload an operation on two NaNs
    keeps depends on the compiler's operand order."""
    return same(got, expected) or (got != got and expected != expected)


def nan_with_payload(payload, negative=False):
    word = 0x7FF8000000000000 | payload | ((1 << 63) if negative else 0)
    return struct.unpack("<d", struct.pack("<Q", word))[0]


def elements(a):
    """Elements of an Array in storage order, read back from its repr (shortest round-trip form;
    NaN payloads are not kept)."""
    text = repr(a)
    body = text[text.index("data=[") + 6 : -2]
    return [float(t.replace("NaN", "nan")) for t in body.split(", ")] if body else []


def seq_sum(xs):
    s = -0.0
    for x in xs:
        s += x
    return s


def mean(xs):
    return NAN if not xs else seq_sum(xs) / float(len(xs))


def var(xs):
    if not xs:
        return NAN
    m = mean(xs)
    acc = -0.0
    for x in xs:
        d = x - m
        acc += d * d
    return acc / float(len(xs))


def std(xs):
    v = var(xs)
    return v if v != v else math.sqrt(v)


def sorted_copy(xs):
    return sorted(x for x in xs if x == x) + [x for x in xs if x != x]


def median(xs):
    n = len(xs)
    if n == 0:
        return NAN
    s = sorted_copy(xs)
    if n % 2:
        return s[n // 2]
    return (s[n // 2 - 1] + s[n // 2]) * 0.5


def quantile_sorted(s, q):
    n = len(s)
    if n == 0:
        return NAN
    pos = q * float(n - 1)
    lo = max(0, math.floor(pos))
    hi = max(0, math.ceil(pos))
    if lo == hi:
        return s[lo]
    frac = pos - float(lo)
    return frac * s[hi] + (1.0 - frac) * s[lo]


def quantile(xs, q):
    return quantile_sorted(sorted_copy(xs), q)


def ranks(xs):
    n = len(xs)
    order = sorted((i for i in range(n) if xs[i] == xs[i]), key=lambda i: xs[i])
    order += [i for i in range(n) if xs[i] != xs[i]]
    out = [0.0] * n
    i = 0
    while i < n:
        v = xs[order[i]]
        j = i + 1
        while j < n and xs[order[j]] == v:
            j += 1
        r = float(i + 1 + j) * 0.5
        for t in range(i, j):
            out[order[t]] = r
        i = j
    return out


def pearson(x, y):
    sx = seq_sum(x)
    sy = seq_sum(y)
    n = len(x)
    if n == 0 or all(v == x[0] for v in x) or all(v == y[0] for v in y):
        return 0.0
    mx, my = sx / float(n), sy / float(n)
    sxx = syy = sxy = 0.0
    for a, b in zip(x, y):
        dx, dy = a - mx, b - my
        sxx += dx * dx
        syy += dy * dy
        sxy += dx * dy
    rx, ry = math.sqrt(sxx), math.sqrt(syy)
    if rx == 0.0 or ry == 0.0:
        return 0.0
    r = sxy / (rx * ry)
    return r if r != r else min(max(r, -1.0), 1.0)


def spearman(x, y):
    return pearson(ranks(x), ranks(y))


def mixed_data(n, seed, zeros=0.0, nans=0.0, ties=False):
    """Values spanning many magnitudes (so summation order matters), optionally with signed zeros,
    NaNs of different payloads and heavy ties."""
    rng = random.Random(seed)
    out = []
    for _ in range(n):
        u = rng.random()
        if u < nans:
            out.append(nan_with_payload(rng.randrange(1, 1 << 20), negative=rng.random() < 0.5))
        elif u < nans + zeros:
            out.append(rng.choice((0.0, -0.0)))
        elif ties:
            out.append(float(rng.randrange(-4, 5)) or rng.choice((0.0, -0.0)))
        else:
            out.append(rng.choice((-1, 1)) * rng.random() * 10.0 ** rng.randrange(-8, 9))
    return out
