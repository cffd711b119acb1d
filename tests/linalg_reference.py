"""Plain-Python references for the linear algebra tests.

Each follows the documented order of operations literally (one float at a time), so the library
must match them bit for bit. Matrices are lists of rows of Python floats.
"""
import math
import random

import kestrum
from support import bits

INF = float("inf")
NAN = float("nan")


def values(a):
    """Shape and flat elements of an Array, read back from its repr (shortest round-trip text)."""
    text = repr(a)
    shape_text, data_text = text[len("Array(shape=["):-2].split("], data=[")
    shape = [int(s) for s in shape_text.split(", ")] if shape_text else []
    data = [float(s) for s in data_text.split(", ")] if data_text else []
    return shape, data


def rows_of(a):
    shape, data = values(a)
    assert len(shape) == 2
    r, c = shape
    return [data[i * c:(i + 1) * c] for i in range(r)]


def array(rows, cols=None):
    """Array from a list of rows (cols needed only when there are no rows)."""
    c = len(rows[0]) if rows else cols
    return kestrum.Array([len(rows), c], [x for row in rows for x in row])


def vector(xs):
    return kestrum.Array([len(xs)], list(xs))


def same_bits(xs, ys):
    """Element-wise identity: equal bit patterns, or NaN on both sides (payloads may differ)."""
    if len(xs) != len(ys):
        return False
    return bits(xs) == bits(ys)


def random_matrix(rng, r, c, special=False):
    """Mixed magnitudes and signs, exact zeros of both signs; with `special`, also inf and NaN."""
    pool = [0.0, -0.0, 1.0, -1.0, 0.5, 3.0, -2.5]
    if special:
        pool += [INF, -INF, NAN]

    def draw():
        p = rng.random()
        if p < 0.15:
            return rng.choice(pool)
        return rng.uniform(-1, 1) * 10.0 ** rng.randint(-3, 3)

    return [[draw() for _ in range(c)] for _ in range(r)]


# ---- products ------------------------------------------------------------------------------------

def dot(xs, ys):
    acc = -0.0
    for x, y in zip(xs, ys):
        acc = acc + x * y
    return acc


def matmul(a, b):
    """Rows of a times rows of b, each element one sequential sum from -0.0."""
    cols = len(b[0]) if b else 0
    return [[dot(row, [b[k][j] for k in range(len(b))]) for j in range(cols)] for row in a]


# ---- factorisations ------------------------------------------------------------------------------

def norm(xs):
    acc = -0.0
    for x in xs:
        acc = acc + x * x
    return math.sqrt(acc)


def qr(a, n_cols):
    m, n = len(a), n_cols
    r = [row[:] for row in a]
    q = [[1.0 if i == j else 0.0 for j in range(m)] for i in range(m)]
    for k in range(min(m, n)):
        p = m - k
        x = [r[k + i][k] for i in range(p)]
        xn = norm(x)
        if xn < 1e-14:
            continue
        v = x[:]
        s = -xn if (x[0] < 0 or math.isnan(x[0])) else xn
        v[0] = v[0] + s
        vn = norm(v)
        if vn < 1e-14:
            continue
        v = [vi / vn for vi in v]
        w = {}
        for j in range(k, n):
            acc = 0.0
            for i in range(p):
                acc = acc + v[i] * r[k + i][j]
            w[j] = acc
        for i in range(p):
            for j in range(k, n):
                r[k + i][j] = r[k + i][j] - (v[i] + v[i]) * w[j]
        u = []
        for row in q:
            acc = 0.0
            for i in range(p):
                acc = acc + v[i] * row[k + i]
            u.append(acc)
        for ri, row in enumerate(q):
            for i in range(p):
                row[k + i] = row[k + i] - (u[ri] + u[ri]) * v[i]
    for i in range(m):
        for j in range(min(i, n)):
            r[i][j] = 0.0
    return q, r


def cholesky(a):
    n = len(a)
    low = [[0.0] * n for _ in range(n)]
    for i in range(n):
        for j in range(i + 1):
            s = 0.0
            for k in range(j):
                s = s + low[i][k] * low[j][k]
            if j == i:
                d = a[i][i] - s
                if d <= 0:
                    raise ValueError("Matrix is not positive definite")
                low[i][i] = math.sqrt(d)
            else:
                low[i][j] = (a[i][j] - s) / low[j][j]
    return low


def eig(a, max_iter=1000, tol=1e-10):
    """(values, vectors rows, iterations run) of the unshifted QR iteration."""
    n = len(a)
    ak = [row[:] for row in a]
    v = [[1.0 if i == j else 0.0 for j in range(n)] for i in range(n)]
    done = 0
    for _ in range(max_iter):
        q, r = qr(ak, n)
        ak = matmul(r, q)
        v = matmul(v, q)
        done += 1
        off = 0.0
        for i in range(n):
            for j in range(n):
                if i != j:
                    off = off + ak[i][j] * ak[i][j]
        if math.sqrt(off) < tol:
            break
    d = [ak[i][i] for i in range(n)]
    idx = sorted(range(n), key=lambda i: -abs(d[i]))  # sorted() is stable
    return [d[i] for i in idx], [[row[i] for i in idx] for row in v], done


def flat(rows):
    return [x for row in rows for x in row]


def seeded(seed):
    return random.Random(seed)
