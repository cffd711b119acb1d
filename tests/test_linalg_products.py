"""Matrix products, outer, transpose and diagonal, bit for bit against plain-Python references."""
import pytest

import kestrum
from linalg_reference import (
    INF, NAN, array, dot, flat, matmul, random_matrix, same_bits, seeded, values, vector,
)
from support import PanicException

L = kestrum.linalg


# ---- matmul: bit-exact against the reference ------------------------------------------------------

SHAPES = [
    (0, 3, 2), (3, 0, 2), (2, 3, 0), (0, 0, 0), (1, 1, 1), (1, 7, 1), (1, 5, 9), (9, 5, 1),
    (4, 1, 6), (6, 8, 5), (7, 13, 17), (13, 9, 11), (12, 16, 24), (25, 3, 31),
]


@pytest.mark.parametrize("m, k, n", SHAPES)
@pytest.mark.parametrize("special", [False, True])
def test_matmul_matrix_matrix_bit_exact(m, k, n, special):
    rng = seeded(m * 10007 + k * 101 + n + special)
    a = random_matrix(rng, m, k, special)
    b = random_matrix(rng, k, n, special)
    got = L.matmul(array(a, k), array(b, n))
    shape, data = values(got)
    assert shape == [m, n]
    assert same_bits(data, flat(matmul(a, b)) if k else [-0.0] * (m * n))


def test_matmul_random_sizes_bit_exact():
    rng = seeded(7)
    for _ in range(25):
        m, k, n = rng.randint(0, 20), rng.randint(0, 20), rng.randint(0, 20)
        a = random_matrix(rng, m, k)
        b = random_matrix(rng, k, n)
        shape, data = values(array(a, k) @ array(b, n))
        assert shape == [m, n]
        assert same_bits(data, flat(matmul(a, b)) if k else [-0.0] * (m * n))


@pytest.mark.parametrize("m, k, n", [(73, 300, 19), (150, 257, 130), (6, 520, 8), (5, 300, 9), (13, 270, 17), (70, 260, 61), (64, 64, 64), (80, 40, 3100)])
def test_matmul_across_cache_blocks_bit_exact(m, k, n):
    # Sizes that cross the kernel's register tiles and cache blocks; the reference adds one
    # rounded rank-1 term per k (elementwise, no fusion), the same order as the plain loop.
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(m + k + n)
    a = rng.standard_normal((m, k)) * 10.0 ** rng.integers(-3, 4, (m, k))
    b = rng.standard_normal((k, n))
    a[a > 2] = 0.0
    b[:, 0] = -0.0
    acc = np.full((m, n), -0.0)
    for i in range(k):
        acc = acc + np.multiply.outer(a[:, i], b[i, :])
    got = L.matmul(kestrum.Array([m, k], a.ravel().tolist()), kestrum.Array([k, n], b.ravel().tolist()))
    assert same_bits(values(got)[1], acc.ravel().tolist())


@pytest.mark.parametrize("n", [0, 1, 3, 17])
def test_vector_vector_is_one_element(n):
    rng = seeded(n)
    x, y = random_matrix(rng, 2, n)
    for f in (L.matmul, L.dot, lambda a, b: a @ b, lambda a, b: a.dot(b), lambda a, b: a.matmul(b)):
        shape, data = values(f(vector(x), vector(y)))
        assert shape == [1]
        assert same_bits(data, [dot(x, y)])


def test_empty_dot_is_negative_zero():
    assert same_bits(values(L.dot(vector([]), vector([])))[1], [-0.0])


@pytest.mark.parametrize("k, n", [(0, 3), (4, 1), (5, 7), (9, 0)])
def test_vector_matrix(k, n):
    rng = seeded(k * 31 + n)
    x = random_matrix(rng, 1, k)[0]
    b = random_matrix(rng, k, n, special=True)
    shape, data = values(L.matmul(vector(x), array(b, n)))
    assert shape == [n]
    assert same_bits(data, matmul([x], b)[0] if k else [-0.0] * n)


@pytest.mark.parametrize("m, k", [(0, 3), (1, 4), (5, 7), (9, 0), (6, 1), (8, 4), (17, 13), (16, 1), (11, 9)])
def test_matrix_vector(m, k):
    rng = seeded(m * 31 + k)
    a = random_matrix(rng, m, k, special=True)
    y = random_matrix(rng, 1, k)[0]
    shape, data = values(L.matmul(array(a, k), vector(y)))
    assert shape == [m]
    assert same_bits(data, [dot(row, y) for row in a])


def test_zero_inner_dimension_gives_negative_zeros():
    shape, data = values(L.matmul(kestrum.Array([2, 0], []), kestrum.Array([0, 3], [])))
    assert shape == [2, 3] and same_bits(data, [-0.0] * 6)
    shape, data = values(L.matmul(kestrum.Array([0, 3], []), array([[1.0, 2.0]] * 3)))
    assert shape == [0, 2] and data == []


def test_signed_zero_sums():
    # -0.0 + (-0.0) stays -0.0; a single +0.0 product turns the sum into +0.0.
    a = array([[-0.0, 0.0], [1.0, -0.0]])
    b = array([[1.0, 1.0], [1.0, -1.0]])
    assert same_bits(values(a @ b)[1], [0.0, -0.0, 1.0, 1.0])
    assert same_bits(values(array([[-0.0, -0.0]]) @ array([[1.0], [1.0]]))[1], [-0.0])


def test_products_read_the_same_array_twice():
    a = array([[1.0, 2.0], [3.0, 4.0]])
    assert values(a.dot(a))[1] == [7.0, 10.0, 15.0, 22.0]
    assert values(a @ a)[1] == [7.0, 10.0, 15.0, 22.0]


@pytest.mark.parametrize(
    "a, b, message",
    [
        (vector([1, 2, 3]), vector([1, 2]),
         "assertion `left == right` failed: Vectors must have same length\n  left: 3\n right: 2"),
        (vector([1, 2]), kestrum.Array([3, 2], [0] * 6),
         "assertion `left == right` failed: Inner dimensions must match\n  left: 2\n right: 3"),
        (kestrum.Array([2, 3], [0] * 6), vector([1, 2]),
         "assertion `left == right` failed: Inner dimensions must match\n  left: 3\n right: 2"),
        (kestrum.Array([2, 3], [0] * 6), kestrum.Array([2, 3], [0] * 6),
         "assertion `left == right` failed: Inner dimensions must match: 3 vs 2\n  left: 3\n right: 2"),
        (kestrum.Array([1, 1, 1], [0]), vector([1]), "matmul requires 1D or 2D arrays"),
        (vector([1]), kestrum.Array([1, 1, 1], [0]), "matmul requires 1D or 2D arrays"),
        (kestrum.Array([2, 2], [0] * 4), kestrum.Array([], [0]), "matmul requires 1D or 2D arrays"),
        (kestrum.Array([], [0]), kestrum.Array([], [0]), "matmul requires 1D or 2D arrays"),
    ],
)
def test_matmul_shape_panics(a, b, message):
    for f in (L.matmul, L.dot, lambda x, y: x @ y, lambda x, y: x.matmul(y), lambda x, y: x.dot(y)):
        with pytest.raises(PanicException) as e:
            f(a, b)
        assert str(e.value) == message


def test_matmul_operator_rejects_non_arrays():
    a = array([[1.0, 2.0]])
    with pytest.raises(TypeError, match="unsupported operand"):
        a @ [1, 2]
    with pytest.raises(TypeError, match="unsupported operand"):
        [1, 2] @ a


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: L.matmul([1.0], vector([1])), "argument 'a': 'list' object cannot be cast as 'Array'"),
        (lambda: L.dot(vector([1]), 2.0), "argument 'b': 'float' object cannot be cast as 'Array'"),
        (lambda: vector([1]).matmul([1.0]), "argument 'other': 'list' object cannot be cast as 'Array'"),
        (lambda: vector([1]).dot(), "Array.dot() missing 1 required positional argument: 'other'"),
        (lambda: L.transpose((1, 2)), "argument 'a': 'tuple' object cannot be cast as 'Array'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


# ---- outer ----------------------------------------------------------------------------------------

def test_outer_from_lists_and_arrays():
    for f in (L.outer, kestrum.Array.outer, vector([0]).outer):
        shape, data = values(f([1, 2], [3, 4, 5]))
        assert shape == [2, 3] and data == [3.0, 4.0, 5.0, 6.0, 8.0, 10.0]
    shape, data = values(L.outer(vector([-0.0, INF]), [0.0, 2.0]))
    assert shape == [2, 2] and same_bits(data[:3], [-0.0, -0.0, NAN]) and data[3] == INF
    assert values(L.outer([], [1.0, 2.0]))[0] == [0, 2]
    assert values(L.outer(b=[1.0], a=[]))[0] == [0, 1]


@pytest.mark.parametrize(
    "a, b, message",
    [
        (kestrum.Array([2, 2], [0] * 4), [1.0],
         "assertion `left == right` failed: First input must be 1D\n  left: 2\n right: 1"),
        ([1.0], kestrum.Array([], [1]),
         "assertion `left == right` failed: Second input must be 1D\n  left: 0\n right: 1"),
    ],
)
def test_outer_panics(a, b, message):
    with pytest.raises(PanicException) as e:
        L.outer(a, b)
    assert str(e.value) == message


def test_outer_conversion_error_names_argument():
    with pytest.raises(TypeError, match=r"^argument 'b': failed to extract enum VecOrArray"):
        L.outer([1.0], 5.0)


# ---- transpose and diagonal ----------------------------------------------------------------------

@pytest.mark.parametrize("r, c", [(0, 5), (5, 0), (1, 1), (1, 6), (6, 1), (3, 4), (33, 70)])
def test_transpose(r, c):
    rng = seeded(r * 100 + c)
    a = random_matrix(rng, r, c)
    expected = [a[i][j] for j in range(c) for i in range(r)]
    x = array(a, c)
    for got in (L.transpose(x), x.transpose(), x.t()):
        shape, data = values(got)
        assert shape == [c, r] and same_bits(data, expected)


@pytest.mark.parametrize("dims", [[3], [], [2, 2, 2]])
def test_transpose_requires_2d(dims):
    a = kestrum.Array(dims, [1.0] * (2 ** len(dims) if len(dims) != 1 else 3))
    for f in (L.transpose, lambda x: x.t(), lambda x: x.transpose()):
        with pytest.raises(PanicException) as e:
            f(a)
        assert str(e.value) == (
            f"assertion `left == right` failed: transpose requires 2D array\n  left: {len(dims)}\n right: 2")


def test_t_is_a_method():
    a = kestrum.Array([2, 1], [1, 2])
    assert callable(a.t) and a.t.__self__ is a
    with pytest.raises(TypeError):
        a.t(1)


@pytest.mark.parametrize(
    "k, expected",
    [(None, [0, 5, 10]), (0, [0, 5, 10]), (1, [1, 6, 11]), (3, [3]), (-1, [4, 9]), (-2, [8]),
     (4, []), (-3, []), (2 ** 63 - 1, []), (-(2 ** 63), [])],
)
def test_diagonal_offsets(k, expected):
    a = kestrum.Array([3, 4], list(range(12)))
    for got in (L.diagonal(a, k), L.diagonal(a, k=k), a.diagonal(k), a.diagonal(k=k)):
        assert values(got) == ([len(expected)], [float(x) for x in expected])
    if k is None:
        assert values(L.diagonal(a))[1] == [0.0, 5.0, 10.0]
        assert values(a.diagonal())[1] == [0.0, 5.0, 10.0]


def test_diagonal_of_empty_matrices():
    assert values(L.diagonal(kestrum.Array([0, 3], []))) == ([0], [])
    assert values(kestrum.Array([3, 0], []).diagonal(-1)) == ([0], [])


@pytest.mark.parametrize("dims", [[3], [], [1, 1, 1]])
def test_diagonal_requires_2d(dims):
    a = kestrum.Array(dims, [1.0] * (3 if len(dims) == 1 else 1))
    for f in (L.diagonal, lambda x: x.diagonal()):
        with pytest.raises(ValueError) as e:
            f(a)
        assert str(e.value) == "diagonal requires a 2D array"


def test_diagonal_converts_k_before_checking_dims():
    a = vector([1.0])
    with pytest.raises(TypeError, match="^argument 'k': "):
        L.diagonal(a, 1.5)
    with pytest.raises(TypeError, match="^argument 'k': "):
        a.diagonal("x")
    with pytest.raises(OverflowError):
        L.diagonal(kestrum.Array([1, 1], [1.0]), 2 ** 63)
