"""QR, Cholesky and the eigenvalue iteration, bit for bit against plain-Python references."""
import math

import pytest

import kestrum
from linalg_reference import (
    NAN, array, cholesky, eig, flat, matmul, qr, random_matrix, rows_of, same_bits, seeded, values,
    vector,
)
from support import PanicException

L = kestrum.linalg


# ---- QR -------------------------------------------------------------------------------------------

def check_qr(a_rows, n):
    q_ref, r_ref = qr(a_rows, n)
    q, r = L.qr(array(a_rows, n))
    m = len(a_rows)
    assert values(q)[0] == [m, m] and values(r)[0] == [m, n]
    assert same_bits(values(q)[1], flat(q_ref))
    assert same_bits(values(r)[1], flat(r_ref))
    return q, r


@pytest.mark.parametrize(
    "m, n", [(0, 0), (0, 3), (3, 0), (1, 1), (1, 5), (5, 1), (2, 2), (3, 2), (2, 3), (6, 6), (9, 4), (4, 9)])
def test_qr_bit_exact(m, n):
    rng = seeded(m * 97 + n)
    check_qr(random_matrix(rng, m, n), n)


def test_qr_random_sizes_and_special_values():
    rng = seeded(11)
    for trial in range(30):
        m, n = rng.randint(0, 8), rng.randint(0, 8)
        check_qr(random_matrix(rng, m, n, special=trial % 3 == 0), n)


@pytest.mark.parametrize(
    "rows",
    [
        [[0.0, 1.0], [0.0, 2.0], [0.0, 3.0]],        # zero first column: skipped
        [[-0.0, 2.0], [3.0, 1.0]],                    # x[0] = -0.0 counts as non-negative
        [[-1.0, 2.0], [1e-20, 1.0]],                  # negative pivot
        [[1e-15, 1.0], [0.0, 1.0]],                   # norm below the skip threshold
        [[NAN, 1.0], [1.0, 2.0]],                     # NaN pivot takes the negative sign
        [[1.0, 1.0], [1.0, 1.0], [1.0, 1.0]],         # rank deficient
        [[1.0, 1.0, 2.0, 0.0], [1.0, 1.0, 3.0, 1.0], [1.0, 1.0, 5.0, 2.0], [1.0, 1.0, 7.0, 3.0]],  # skip mid-way
        [[2.0, 4.0, 1.0], [1.0, 2.0, -1.0], [0.0, 0.0, 3.0], [3.0, 6.0, 0.5], [1.0, 2.0, 2.0]],
    ],
)
def test_qr_special_columns(rows):
    check_qr(rows, len(rows[0]))


def test_qr_tall_matrix_shapes_and_reconstruction():
    a = [[1.0, 2.0], [3.0, 4.0], [5.0, 6.0]]
    q, r = check_qr(a, 2)
    rr = rows_of(r)
    assert rr[1][0] == 0.0 and rr[2][0] == 0.0 and rr[2][1] == 0.0
    assert all(math.isclose(x, y, abs_tol=1e-12) for x, y in zip(flat(matmul(rows_of(q), rr)), flat(a)))


def test_qr_identity_reflects_both_columns():
    q, r = L.qr(array([[1.0, 0.0], [0.0, 1.0]]))
    assert values(q)[1] == [-1.0, 0.0, 0.0, -1.0]
    assert values(r)[1] == [-1.0, 0.0, 0.0, -1.0]


def test_qr_zero_matrix_skips_every_column():
    q, r = L.qr(kestrum.Array([3, 2], [0.0] * 6))
    assert values(q)[1] == [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0]
    assert same_bits(values(r)[1], [0.0] * 6)


def test_qr_returns_tuple_and_keeps_input():
    a = array([[2.0, 1.0], [1.0, 3.0]])
    res = L.qr(a=a)
    assert type(res) is tuple and len(res) == 2
    assert values(a)[1] == [2.0, 1.0, 1.0, 3.0]
    q, r = L.qr(kestrum.Array([0, 3], []))
    assert values(q) == ([0, 0], []) and values(r) == ([0, 3], [])


# ---- Cholesky -------------------------------------------------------------------------------------

def spd(rng, n):
    m = random_matrix(rng, n, n)
    a = [[sum(m[i][k] * m[j][k] for k in range(n)) for j in range(n)] for i in range(n)]
    for i in range(n):
        a[i][i] += n
    return a


@pytest.mark.parametrize("n", [1, 2, 3, 5, 8, 13])
def test_cholesky_bit_exact(n):
    a = spd(seeded(n), n)
    shape, data = values(L.cholesky(array(a)))
    assert shape == [n, n] and same_bits(data, flat(cholesky(a)))


def test_cholesky_examples():
    root2 = math.sqrt(2.0)
    assert values(L.cholesky(array([[4.0, 2.0], [2.0, 3.0]])))[1] == [2.0, 0.0, 1.0, root2]
    # Only the lower triangle is read.
    assert values(L.cholesky(array([[4.0, 99.0], [2.0, 3.0]])))[1] == [2.0, 0.0, 1.0, root2]
    assert values(L.cholesky(kestrum.Array([0, 0], []))) == ([0, 0], [])
    # A NaN pivot passes the positivity test and spreads.
    data = values(L.cholesky(array([[NAN, 0.0], [1.0, 4.0]])))[1]
    assert math.isnan(data[0]) and data[1] == 0.0 and math.isnan(data[2]) and math.isnan(data[3])


@pytest.mark.parametrize(
    "a, message",
    [
        (vector([1.0]), "Cholesky decomposition requires a 2D matrix"),
        (kestrum.Array([], [1.0]), "Cholesky decomposition requires a 2D matrix"),
        (kestrum.Array([2, 3], [1.0] * 6), "Cholesky decomposition requires a square matrix"),
        (array([[1.0, 2.0], [2.0, 1.0]]), "Matrix is not positive definite"),
        (array([[0.0]]), "Matrix is not positive definite"),
        (array([[-1.0, 0.0], [0.0, 1.0]]), "Matrix is not positive definite"),
    ],
)
def test_factorisation_errors(a, message):
    with pytest.raises(ValueError) as e:
        L.cholesky(a)
    assert str(e.value) == message


@pytest.mark.parametrize("dims", [[3], [], [1, 1, 1]])
def test_qr_requires_2d(dims):
    with pytest.raises(ValueError) as e:
        L.qr(kestrum.Array(dims, [1.0] * (3 if len(dims) == 1 else 1)))
    assert str(e.value) == "QR decomposition requires a 2D matrix"


@pytest.mark.parametrize("f", [L.qr, L.cholesky, L.eig, L.eigvals, L.eig_with_params])
def test_array_argument_required(f):
    with pytest.raises(TypeError) as e:
        f([[1.0]])
    assert str(e.value) == "argument 'a': 'list' object cannot be cast as 'Array'"


# ---- eigenvalues ----------------------------------------------------------------------------------

def check_eig(rows, **params):
    values_ref, vectors_ref, _ = eig(rows, **params)
    vals, vecs = L.eig_with_params(array(rows), **params)
    n = len(rows)
    assert values(vals)[0] == [n] and values(vecs)[0] == [n, n]
    assert same_bits(values(vals)[1], values_ref)
    assert same_bits(values(vecs)[1], flat(vectors_ref))


@pytest.mark.parametrize("n, max_iter", [(2, 1), (2, 7), (3, 1), (3, 40), (4, 3), (5, 25), (6, 12)])
def test_eig_bit_exact_general(n, max_iter):
    check_eig(random_matrix(seeded(n * 7 + max_iter), n, n), max_iter=max_iter, tol=1e-300)


@pytest.mark.parametrize("n", [2, 3, 4])
def test_eig_bit_exact_converging(n):
    # Symmetric with well separated eigenvalues: converges well before the limit.
    rng = seeded(n)
    base = [[rng.uniform(-0.5, 0.5) for _ in range(n)] for _ in range(n)]
    a = [[(base[i][j] + base[j][i]) + (4.0 ** (n - i) if i == j else 0.0) for j in range(n)] for i in range(n)]
    assert eig(a)[2] < 200
    check_eig(a)
    values_ref = eig(a)[0]
    assert same_bits(values(L.eigvals(array(a)))[1], values_ref)
    assert same_bits(values(L.eig(array(a))[0])[1], values_ref)


def test_eig_diagonal_stops_after_one_step():
    vals, vecs = L.eig(array([[2.0, 0.0], [0.0, 3.0]]))
    assert values(vals)[1] == [3.0, 2.0]
    assert same_bits(values(vecs)[1], [0.0, -1.0, -1.0, 0.0])


def test_eig_symmetric_two_by_two_takes_22_iterations():
    a = [[2.0, 1.0], [1.0, 2.0]]
    assert eig(a)[2] == 22
    x = array(a)
    vals, vecs = L.eig(x)
    at_22 = L.eig_with_params(x, max_iter=22)
    at_21 = L.eig_with_params(x, 21, 1e-10)
    assert values(vals)[1] == values(at_22[0])[1] and values(vecs)[1] == values(at_22[1])[1]
    assert values(vecs)[1] != values(at_21[1])[1]
    got = values(vals)[1]
    assert abs(got[0] - 3.0) < 4e-15 and abs(got[1] - 1.0) < 4e-15
    s = 1 / math.sqrt(2.0)
    v = rows_of(vecs)
    assert all(math.isclose(abs(v[r][c]), s, rel_tol=1e-9) for r in range(2) for c in range(2))
    assert v[0][0] * v[1][0] > 0 and v[0][1] * v[1][1] < 0  # (1, 1) then (1, -1) directions


def test_eigvals_keeps_signs_and_orders_by_magnitude():
    assert values(L.eigvals(array([[1.0, 0.0], [0.0, -3.0]])))[1] == [-3.0, 1.0]


def test_eig_max_iter_zero_sorts_the_diagonal():
    a = array([[1.0, 5.0, 0.0], [2.0, -4.0, 1.0], [0.0, 7.0, 4.0]])
    vals, vecs = L.eig_with_params(a, max_iter=0)
    # Equal magnitudes keep ascending index order.
    assert values(vals)[1] == [-4.0, 4.0, 1.0]
    assert values(vecs)[1] == [0.0, 0.0, 1.0, 1.0, 0.0, 0.0, 0.0, 1.0, 0.0]


@pytest.mark.parametrize("params", [{}, {"max_iter": 0}, {"max_iter": 5, "tol": -1.0}, {"tol": NAN}])
def test_eig_small_sizes(params):
    vals, vecs = L.eig_with_params(array([[5.0]]), **params)
    assert values(vals) == ([1], [5.0]) and values(vecs) == ([1, 1], [1.0])
    vals, vecs = L.eig_with_params(kestrum.Array([0, 0], []), **params)
    assert values(vals) == ([0], []) and values(vecs) == ([0, 0], [])


def test_eig_rotation_runs_to_the_limit():
    a = [[0.0, -1.0], [1.0, 0.0]]
    check_eig(a, max_iter=1000)
    assert eig(a)[2] == 1000
    assert all(abs(x) < 1e-12 for x in values(L.eigvals(array(a)))[1])


def test_eig_nan_ordering_panics():
    a = array([[NAN, 1.0], [1.0, 2.0]])
    for f in (L.eig, L.eigvals, lambda x: L.eig_with_params(x, max_iter=0)):
        with pytest.raises(PanicException) as e:
            f(a)
        assert str(e.value) == "called `Option::unwrap()` on a `None` value"
    # A single element is returned without ordering.
    assert math.isnan(values(L.eigvals(array([[NAN]])))[1][0])


@pytest.mark.parametrize(
    "a, message",
    [
        (vector([1.0, 2.0]), "Eigendecomposition requires a 2D matrix"),
        (kestrum.Array([], [1.0]), "Eigendecomposition requires a 2D matrix"),
        (kestrum.Array([2, 3], [1.0] * 6), "Eigendecomposition requires a square matrix"),
    ],
)
def test_eig_value_errors(a, message):
    for f in (L.eig, L.eigvals, L.eig_with_params):
        with pytest.raises(ValueError) as e:
            f(a)
        assert str(e.value) == message


@pytest.mark.parametrize(
    "kwargs, exc, prefix",
    [
        ({"max_iter": -1}, OverflowError, ""),
        ({"max_iter": 2.0}, TypeError, "argument 'max_iter': "),
        ({"max_iter": None}, TypeError, "argument 'max_iter': "),
        ({"tol": "x"}, TypeError, "argument 'tol': "),
        ({"tol": None}, TypeError, "argument 'tol': "),
        ({"tolerance": 1.0}, TypeError, "eig_with_params() got an unexpected keyword argument 'tolerance'"),
    ],
)
def test_eig_with_params_conversion_errors(kwargs, exc, prefix):
    with pytest.raises(exc) as e:
        L.eig_with_params(array([[1.0, 0.0], [0.0, 2.0]]), **kwargs)
    assert str(e.value).startswith(prefix)
