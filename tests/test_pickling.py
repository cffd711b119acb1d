"""Array, Generator and the three trees leave the process intact: pickle at every protocol, copy and
deepcopy, process pools; the states are validated on load, so corrupt pickles raise and never crash."""
import copy
import concurrent.futures
import multiprocessing
import os
import pickle
import struct
import subprocess
import sys
import textwrap

import pytest

import kestrum

PROTOCOLS = range(2, pickle.HIGHEST_PROTOCOL + 1)
SPATIAL = kestrum.spatial


def pickled(obj, protocol):
    return pickle.loads(pickle.dumps(obj, protocol=protocol))


TRANSFERS = [pytest.param(lambda o, p=p: pickled(o, p), id=f"pickle{p}") for p in PROTOCOLS] + [
    pytest.param(copy.copy, id="copy"), pytest.param(copy.deepcopy, id="deepcopy")]


def raw(a):
    """Shape and storage bytes: equal exactly when the arrays hold the same bits."""
    return a.shape, memoryview(a).tobytes()


# ---- Array --------------------------------------------------------------------------------------

NAN_PAYLOAD = struct.unpack("<d", struct.pack("<Q", 0x7FF4_0000_0000_0ABC))[0]


@pytest.mark.parametrize("transfer", TRANSFERS)
@pytest.mark.parametrize("shape, data", [
    ([2, 3], [0.0, -0.0, NAN_PAYLOAD, float("-inf"), 5e-324, -1.5]),
    ([], [float("nan")]),
    ([0, 4], []),
])
def test_array_round_trip_keeps_shape_and_bits(transfer, shape, data):
    a = kestrum.Array(shape, data)
    b = transfer(a)
    assert type(b) is kestrum.Array and b is not a and raw(b) == raw(a)
    if len(b):
        b[(0,) * len(shape)] = 42.0
        assert raw(a)[1] == struct.pack(f"{len(data)}d", *data)


def test_array_travels_out_of_band_at_protocol_5_without_a_copy():
    a = kestrum.Array([2, 2], [1, 2, 3, 4])
    buffers = []
    data = pickle.dumps(a, protocol=5, buffer_callback=buffers.append)
    assert len(buffers) == 1 and len(data) < 200
    a[0, 0] = 9.0  # the buffer is the array's own storage
    assert buffers[0].raw().cast("d").tolist() == [9.0, 2.0, 3.0, 4.0]
    assert pickle.loads(data, buffers=buffers).tolist() == [[9.0, 2.0], [3.0, 4.0]]
    assert len(pickle.dumps(a, protocol=5)) > 32  # in band the bytes are in the stream


@pytest.mark.parametrize("args, error", [
    ((b"\0" * 12, [2]), "12 bytes do not hold shape [2]"),
    ((b"\0" * 8, [2, 2]), "do not hold shape [2, 2]"),
    ((b"", [2**62, 8]), "too large"),
])
def test_array_restore_refuses_inconsistent_states(args, error):
    with pytest.raises(ValueError, match=error.replace("[", r"\[").replace("]", r"\]")):
        kestrum._restore_array(*args)


# ---- Generator ----------------------------------------------------------------------------------

SAMPLERS = [
    ("uniform", (-1.0, 2.0)), ("randint", (-5, 7)), ("standard_normal", ()), ("normal", (1.0, 2.0)),
    ("lognormal", (0.0, 0.5)), ("gamma", (0.7, 2.0)), ("beta", (0.5, 3.0)),
]


@pytest.mark.parametrize("transfer", TRANSFERS)
@pytest.mark.parametrize("name, args", SAMPLERS)
def test_generator_continues_the_same_stream(transfer, name, args):
    g = kestrum.random.seed(12345)
    g.standard_normal([3])
    h = transfer(g)
    assert type(h) is kestrum.Generator and h is not g
    for _ in range(2):
        assert raw(getattr(h, name)(*args, [5])) == raw(getattr(g, name)(*args, [5]))
    h.uniform(0, 1, [1])  # independent from here on
    assert raw(g.uniform(0, 1, [4]))[1] != raw(h.uniform(0, 1, [4]))[1]


def test_copying_a_generator_during_its_own_sampling_call_is_refused():
    g = kestrum.random.seed(1)

    class Hook:  # converted while the sampler holds the generator exclusively
        def __float__(self):
            pickle.dumps(g)
            return 0.0

    with pytest.raises(RuntimeError):
        g.uniform(Hook(), 1.0, [1])
    assert raw(pickled(g, 5).uniform(0, 1, [3])) == raw(g.uniform(0, 1, [3]))  # state untouched


@pytest.mark.parametrize("words, error", [((0, 0, 0, 0), ValueError), ((2**64, 1, 1, 1), OverflowError),
                                          ((-1, 1, 1, 1), OverflowError)])
def test_generator_restore_refuses_bad_words(words, error):
    with pytest.raises(error):
        kestrum._restore_generator(*words)


# ---- trees --------------------------------------------------------------------------------------

def points(n, dim, seed=7):
    g = kestrum.random.seed(seed)
    a = g.uniform(0, 1, [n, dim])
    if n > 4:  # duplicates and ties
        for j in range(dim):
            a[1, j] = a[0, j]
            a[3, j] = 0.5
    return a


def build(kind, metric, n=300, dim=3, leaf_size=5):
    cls, selection = {"kd": (SPATIAL.KDTree, None), "ball": (SPATIAL.BallTree, None),
                      "vp": (SPATIAL.VPTree, "first"), "vp-random": (SPATIAL.VPTree, "random")}[kind]
    extra = {"selection": selection} if selection else {}
    return cls.from_array(points(n, dim), leaf_size, metric, **extra)


def answers(tree, dim):
    qs = points(6, dim, seed=99)
    rows = [[qs[i, j] for j in range(dim)] for i in range(6)]
    return ([tree.query_knn(q, 7) for q in rows], [tree.query_radius(q, 0.3) for q in rows],
            raw(tree.kernel_density(qs, 0.2)),
            raw(tree.kernel_density_approx(qs, 0.3, "epanechnikov", "combined", 10, 0.5)))


KINDS = ["kd", "ball", "vp", "vp-random"]


@pytest.mark.parametrize("transfer", TRANSFERS)
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("metric, dim", [("euclidean", 3), ("manhattan", 5), ("chebyshev", 2)])
def test_tree_answers_bit_for_bit(transfer, kind, metric, dim):
    tree = build(kind, metric, dim=dim)
    other = transfer(tree)
    assert type(other) is type(tree) and other is not tree
    assert answers(other, dim) == answers(tree, dim)
    assert raw(other.kernel_density()) == raw(tree.kernel_density())  # storage order kept


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("n", [1, 3])
def test_tiny_trees_round_trip(kind, n):
    tree = build(kind, "euclidean", n=n, dim=2, leaf_size=20)
    assert answers(pickled(tree, 5), 2) == answers(tree, 2)


def state_of(tree):
    restore, (state,) = tree.__reduce_ex__(4)
    assert restore is kestrum._restore_tree
    return bytearray(state)


def patched(state, offset, fmt, value):
    state[offset:offset + struct.calcsize(fmt)] = struct.pack(fmt, value)
    return bytes(state)


HEADER, N, DIM = 48, 300, 3
NODES = HEADER + 8 * N + 8 * N * DIM  # first node record: right, start, end, ...


@pytest.mark.parametrize("offset, fmt, value, error", [
    (0, "<B", ord("K"), "not a kestrum tree state"),
    (8, "<I", 2, r"unsupported tree state version 2 \(this kestrum reads version 1\)"),
    (12, "<B", 9, "unknown tree kind 9"),
    (13, "<B", 3, "unknown metric"),
    (14, "<B", 1, "only a vantage-point tree has a selection"),
    (32, "<Q", 0, "leaf_size is 0"),
    (40, "<Q", 2**61, "truncated"),
    (16, "<Q", 2**62, "truncated"),
    (HEADER + 8, "<Q", 0, "not a permutation"),
    (HEADER + 8, "<Q", N, "not a permutation"),
    (NODES, "<Q", 10**6, "child position out of range"),
    (NODES + 16, "<Q", N + 1, "does not cover the range"),
    (NODES + 24, "<Q", DIM, "split dimension out of range"),
    (NODES + 40, "<B", 2, "node flag"),
])
def test_tree_state_validation(offset, fmt, value, error):
    state = state_of(build("kd", "euclidean"))
    with pytest.raises(ValueError, match=error):
        kestrum._restore_tree(patched(state, offset, fmt, value))


@pytest.mark.parametrize("edit, error", [
    (lambda s: s[:-1], "truncated"),
    (lambda s: s + b"\0", "1 unexpected trailing bytes"),
    (lambda s: s[:20], "truncated"),
])
def test_tree_state_length_must_match(edit, error):
    with pytest.raises(ValueError, match=error):
        kestrum._restore_tree(edit(bytes(state_of(build("ball", "euclidean")))))


def test_unbalanced_split_is_refused():
    """A chain of nodes would let a walk recurse as deep as there are points."""
    tree = build("kd", "euclidean", n=40, dim=1, leaf_size=2)
    state = state_of(tree)
    nodes = HEADER + 8 * 40 + 8 * 40
    # The root's left child ends one point after the root's start: a 1 / 39 split.
    state = patched(state, nodes + 41 + 16, "<Q", 1)
    with pytest.raises(ValueError, match="not split at its median"):
        kestrum._restore_tree(state)


# ---- processes ----------------------------------------------------------------------------------

def remote_answers(payload):
    tree, queries, generator = payload
    return answers(tree, 3), raw(queries * 2.0), raw(generator.normal(0.0, 1.0, [4]))


@pytest.mark.parametrize("method", ["spawn", "fork"])
def test_process_pool(method):
    if method not in multiprocessing.get_all_start_methods():
        pytest.skip(f"{method} not available")
    payloads = [(build(kind, "euclidean"), points(5, 3), kestrum.random.seed(3)) for kind in KINDS]
    expected = [remote_answers(copy.deepcopy(p)) for p in payloads]
    context = multiprocessing.get_context(method)
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
        assert list(pool.map(remote_answers, payloads)) == expected


FUZZ_CHILD = textwrap.dedent("""
    import pickle, random, sys
    import kestrum
    sp = kestrum.spatial
    pts = kestrum.random.seed(1).uniform(0, 1, [60, 3])
    objects = [sp.KDTree.from_array(pts, 4), sp.BallTree.from_array(pts, 4, "manhattan"),
               sp.VPTree.from_array(pts, 4, "chebyshev", "random"), kestrum.KDTree.from_array(kestrum.random.seed(2).uniform(0, 1, [40, 5]), 3),
               pts, kestrum.random.seed(5)]
    rng = random.Random(int(sys.argv[1]))
    loaded = 0
    for obj in objects:
        clean = pickle.dumps(obj, protocol=rng.choice([2, 4, 5]))
        for trial in range(300):
            data = bytearray(clean)
            if trial % 3 == 0:
                data = data[:rng.randrange(len(data))]
            for _ in range(rng.choice([1, 1, 2, 8])):
                if data:
                    i = rng.randrange(len(data))
                    data[i] = rng.randrange(256) if trial % 2 else data[i] ^ (1 << rng.randrange(8))
            try:
                got = pickle.loads(bytes(data))
            except Exception:
                continue
            loaded += 1
            try:  # a state that passed validation must be safe to use
                if isinstance(got, (sp.KDTree, sp.BallTree, sp.VPTree)):
                    got.query_knn([0.5, 0.5, 0.5], 5); got.query_radius([0.2, 0.1, 0.9], 0.4)
                    got.kernel_density(); got.kernel_density_approx(None, 0.5, "uniform", "min_samples", 3)
                elif isinstance(got, kestrum.Array):
                    got.tolist(); memoryview(got).tobytes()
            except (ValueError, TypeError):
                pass
            except BaseException as e:  # a panic is an exception too
                if type(e).__name__ != "PanicException":
                    raise
    print("loaded", loaded)
""")


@pytest.mark.parametrize("seed", [1, 2])
def test_corrupt_pickles_raise_and_never_crash(seed):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-c", FUZZ_CHILD, str(seed)], capture_output=True, text=True,
                          timeout=120, env=env)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.startswith("loaded")
