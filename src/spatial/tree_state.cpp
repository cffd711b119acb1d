// Tree states: every field of a built tree written as bytes, and read back with full validation.
//
// Layout (little-endian, no padding):
//   magic "kestrumT", u32 version, u8 kind, u8 metric, u8 random_selection, u8 reserved (0),
//   u64 n_points, u64 dim, u64 leaf_size, u64 node_count,
//   indices: n_points u64, data: n_points * dim f64 (storage order),
//   node records: u64 right (all ones in a leaf; the left child follows its parent), u64 start,
//     u64 end, then per kind  k-d: u64 split_dim, f64 split_value, u8 unbounded
//                             ball: f64 radius
//                             vantage point: f64 threshold, f64 min_dist, f64 max_dist, u8 unbounded
//   node vectors: per node  k-d: bbox_min then bbox_max (2 * dim f64); ball: centroid (dim f64);
//                           vantage point: the vantage point (dim f64).
#include "spatial/tree_state.hpp"

#include <bit>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace kestrum::spatial {

static_assert(std::endian::native == std::endian::little, "tree states are little-endian");

namespace {

constexpr char kMagic[8] = {'k', 'e', 's', 't', 'r', 'u', 'm', 'T'};
constexpr std::size_t kHeaderSize = 8 + 4 + 4 + 4 * 8;
constexpr std::size_t kNodeCommonSize = 3 * 8;

enum class Kind : std::uint8_t { KD = 1, Ball = 2, VP = 3 };

Error invalid(const std::string& what) { return Error{"invalid tree state: " + what}; }

class Writer {
public:
    explicit Writer(std::uint8_t* out) : out_(out) {}
    void bytes(const void* p, std::size_t n) {
        if (out_ && n) std::memcpy(out_ + size_, p, n);
        size_ += n;
    }
    template <class T>
    void put(T v) {
        bytes(&v, sizeof v);
    }
    std::size_t size() const { return size_; }

private:
    std::uint8_t* out_;
    std::size_t size_ = 0;
};

// Reads never pass the end: the total size is checked against the header before any read.
class Reader {
public:
    explicit Reader(const std::uint8_t* p) : p_(p) {}
    void bytes(void* dst, std::size_t n) {
        if (n) std::memcpy(dst, p_, n);
        p_ += n;
    }
    template <class T>
    T get() {
        T v;
        bytes(&v, sizeof v);
        return v;
    }

private:
    const std::uint8_t* p_;
};

// A stored flag byte that must be 0 or 1.
std::optional<bool> flag(std::uint8_t b) {
    if (b > 1) return std::nullopt;
    return b == 1;
}

// ---- per-kind fields ----------------------------------------------------------------------------

template <class Tree>
struct Layout;

template <>
struct Layout<KDTree> {
    static constexpr Kind kind = Kind::KD;
    static constexpr std::size_t node_size = 8 + 8 + 1;
    static constexpr std::size_t vectors = 2;

    static void write_node(Writer& w, const KDNode& n) {
        w.put(n.split_dim);
        w.put(n.split_value);
        w.put<std::uint8_t>(n.unbounded);
    }
    static std::optional<Error> read_node(Reader& r, KDNode& n, std::uint64_t dim) {
        n.split_dim = r.get<std::uint64_t>();
        n.split_value = r.get<double>();
        const auto unbounded = flag(r.get<std::uint8_t>());
        if (!unbounded) return invalid("node flag is neither 0 nor 1");
        n.unbounded = *unbounded;
        // Searches read the query at an internal node's split_dim; leaves of a zero-dimensional
        // tree keep 0 (and such a tree has no internal node).
        if (n.split_dim >= (n.is_leaf() && dim == 0 ? 1 : dim)) return invalid("split dimension out of range");
        return std::nullopt;
    }
    static const double* vector_of(const KDTree& t, std::size_t node) { return t.bbox_min(node); }
    static void read_vectors(Reader& r, KDTree& t) {
        const std::size_t w = vectors * t.storage.dim;
        if (t.storage.dim > kInlineBoxDim) {
            t.boxes.resize(t.nodes.size() * w);
            r.bytes(t.boxes.data(), t.boxes.size() * sizeof(double));
        } else {
            for (KDNode& n : t.nodes) r.bytes(n.inline_box, w * sizeof(double));
        }
    }
};

template <>
struct Layout<BallTree> {
    static constexpr Kind kind = Kind::Ball;
    static constexpr std::size_t node_size = 8;
    static constexpr std::size_t vectors = 1;

    static void write_node(Writer& w, const BallNode& n) { w.put(n.radius); }
    static std::optional<Error> read_node(Reader& r, BallNode& n, std::uint64_t) {
        n.radius = r.get<double>();
        // A covering radius starts at 0 and only grows, so it is never negative or NaN.
        if (!(n.radius >= 0.0)) return invalid("negative or NaN ball radius");
        return std::nullopt;
    }
    static const double* vector_of(const BallTree& t, std::size_t node) { return t.centroid(node); }
    static void read_vectors(Reader& r, BallTree& t) {
        t.centroids.resize(t.nodes.size() * t.storage.dim);
        r.bytes(t.centroids.data(), t.centroids.size() * sizeof(double));
    }
};

template <>
struct Layout<VPTree> {
    static constexpr Kind kind = Kind::VP;
    static constexpr std::size_t node_size = 3 * 8 + 1;
    static constexpr std::size_t vectors = 1;

    static void write_node(Writer& w, const VPNode& n) {
        w.put(n.threshold);
        w.put(n.min_dist);
        w.put(n.max_dist);
        w.put<std::uint8_t>(n.unbounded);
    }
    static std::optional<Error> read_node(Reader& r, VPNode& n, std::uint64_t) {
        n.threshold = r.get<double>();
        n.min_dist = r.get<double>();
        n.max_dist = r.get<double>();
        const auto unbounded = flag(r.get<std::uint8_t>());
        if (!unbounded) return invalid("node flag is neither 0 nor 1");
        n.unbounded = *unbounded;
        return std::nullopt;
    }
    static const double* vector_of(const VPTree& t, std::size_t node) { return t.vantage(node); }
    static void read_vectors(Reader& r, VPTree& t) {
        t.vantages.resize(t.nodes.size() * t.storage.dim);
        r.bytes(t.vantages.data(), t.vantages.size() * sizeof(double));
    }
};

bool random_selection_of(const KDTree&) { return false; }
bool random_selection_of(const BallTree&) { return false; }
bool random_selection_of(const VPTree& t) { return t.random_selection; }

// ---- writing --------------------------------------------------------------------------------------

template <class Tree>
std::size_t write(const Tree& t, std::uint8_t* out) {
    using L = Layout<Tree>;
    const PointStorage& s = t.storage;
    Writer w(out);
    w.bytes(kMagic, sizeof kMagic);
    w.put(kTreeStateVersion);
    w.put(static_cast<std::uint8_t>(L::kind));
    w.put(static_cast<std::uint8_t>(s.metric));
    w.put<std::uint8_t>(random_selection_of(t));
    w.put<std::uint8_t>(0);
    w.put(s.n_points);
    w.put(s.dim);
    w.put(s.leaf_size);
    w.put(static_cast<std::uint64_t>(t.nodes.size()));
    w.bytes(s.indices.data(), s.indices.size() * sizeof(std::uint64_t));
    w.bytes(s.data.data(), s.data.size() * sizeof(double));
    for (const auto& n : t.nodes) {
        w.put(n.right);
        w.put(n.start);
        w.put(n.end);
        L::write_node(w, n);
    }
    const std::size_t width = L::vectors * s.dim;
    for (std::size_t i = 0; i < t.nodes.size(); ++i) w.bytes(L::vector_of(t, i), width * sizeof(double));
    return w.size();
}

// ---- reading --------------------------------------------------------------------------------------

struct Header {
    std::uint32_t version;
    Kind kind;
    std::uint8_t metric, random_selection, reserved;
    std::uint64_t n_points, dim, leaf_size, node_count;
};

// The byte count a state with this header has, or nothing when it cannot be represented.
template <class Tree>
std::optional<std::uint64_t> state_size(const Header& h) {
    using L = Layout<Tree>;
    std::uint64_t size = kHeaderSize, values = 0, vector_bytes = 0;
    const auto add_product = [&](std::uint64_t a, std::uint64_t b) {
        std::uint64_t p;
        return !__builtin_mul_overflow(a, b, &p) && !__builtin_add_overflow(size, p, &size);
    };
    if (__builtin_mul_overflow(h.n_points, h.dim, &values) ||
        __builtin_mul_overflow(h.dim, L::vectors * sizeof(double), &vector_bytes))
        return std::nullopt;
    if (!add_product(h.n_points, sizeof(std::uint64_t)) || !add_product(values, sizeof(double)) ||
        !add_product(h.node_count, kNodeCommonSize + L::node_size) || !add_product(h.node_count, vector_bytes))
        return std::nullopt;
    return size;
}

// Every point index appears exactly once.
bool is_permutation(const Buffer<std::uint64_t>& indices) {
    std::vector<bool> seen(indices.size(), false);
    for (const std::uint64_t i : indices) {
        if (i >= indices.size() || seen[i]) return false;
        seen[i] = true;
    }
    return true;
}

// The nodes must form the tree a median-split build makes: a preorder array whose root covers
// every point, each internal node followed by its left child, the two children splitting their
// parent's range into non-empty parts of at most ceil(count / 2) points (so the depth stays
// logarithmic and every walk ends), and leaves exactly the nodes of at most leaf_size points.
template <class Node>
std::optional<Error> check_topology(const std::vector<Node>& nodes, std::uint64_t n_points, std::uint64_t leaf_size) {
    struct Pending {
        std::uint64_t index, start, end;
    };
    std::vector<Pending> pending{{0, 0, n_points}};
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        if (pending.empty()) return invalid("node " + std::to_string(i) + " is not reachable from the root");
        const Pending want = pending.back();
        pending.pop_back();
        const Node& n = nodes[i];
        if (want.index != i || n.start != want.start || n.end != want.end)
            return invalid("node " + std::to_string(i) + " does not cover the range its parent gives it");
        const std::uint64_t count = n.end - n.start;
        if (n.is_leaf()) {
            if (count > leaf_size) return invalid("a leaf holds more than leaf_size points");
            continue;
        }
        if (count <= leaf_size) return invalid("an internal node holds no more than leaf_size points");
        if (i + 1 >= nodes.size() || n.right <= i + 1 || n.right >= nodes.size())
            return invalid("child position out of range");
        const std::uint64_t mid = nodes[i + 1].end;
        const std::uint64_t half = count - count / 2;
        if (mid <= n.start || mid >= n.end || mid - n.start > half || n.end - mid > half)
            return invalid("node " + std::to_string(i) + " is not split at its median");
        pending.push_back({n.right, mid, n.end});
        pending.push_back({i + 1, n.start, mid});
    }
    if (!pending.empty()) return invalid("node records missing");
    return std::nullopt;
}

void set_random_selection(KDTree&, bool) {}
void set_random_selection(BallTree&, bool) {}
void set_random_selection(VPTree& t, bool random) { t.random_selection = random; }

template <class Tree>
Result<AnyTree> read(std::span<const std::uint8_t> bytes, const Header& h) {
    using L = Layout<Tree>;
    const std::optional<std::uint64_t> size = state_size<Tree>(h);
    if (!size || *size > bytes.size()) return invalid("truncated");
    if (*size < bytes.size()) return invalid(std::to_string(bytes.size() - *size) + " unexpected trailing bytes");
    if (h.random_selection && L::kind != Kind::VP) return invalid("only a vantage-point tree has a selection");
    if (h.node_count == 0) return invalid("no nodes");

    Tree t;
    PointStorage& s = t.storage;
    s.n_points = h.n_points;
    s.dim = h.dim;
    s.leaf_size = h.leaf_size;
    s.metric = static_cast<DistanceMetric>(h.metric);
    set_random_selection(t, h.random_selection == 1);

    Reader r(bytes.data() + kHeaderSize);
    s.indices = Buffer<std::uint64_t>::uninit(h.n_points);
    r.bytes(s.indices.data(), s.indices.size() * sizeof(std::uint64_t));
    if (!is_permutation(s.indices)) return invalid("the storage order is not a permutation of the points");
    s.data = Buffer<double>::uninit(h.n_points * h.dim);
    r.bytes(s.data.data(), s.data.size() * sizeof(double));

    t.nodes.reserve(h.node_count);
    for (std::size_t i = 0; i < h.node_count; ++i) {
        auto& n = t.nodes.emplace_back();
        n.right = r.get<std::uint64_t>();
        n.left = n.right == kNoChild ? kNoChild : i + 1;
        n.start = r.get<std::uint64_t>();
        n.end = r.get<std::uint64_t>();
        if (auto e = L::read_node(r, n, h.dim)) return *e;
    }
    if (auto e = check_topology(t.nodes, h.n_points, h.leaf_size)) return *e;
    L::read_vectors(r, t);
    return AnyTree(std::move(t));
}

}  // namespace

std::size_t write_tree_state(const KDTree& tree, std::uint8_t* out) { return write(tree, out); }
std::size_t write_tree_state(const BallTree& tree, std::uint8_t* out) { return write(tree, out); }
std::size_t write_tree_state(const VPTree& tree, std::uint8_t* out) { return write(tree, out); }

Result<AnyTree> read_tree_state(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < sizeof kMagic || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0)
        return Error{"not a kestrum tree state"};
    if (bytes.size() < kHeaderSize) return invalid("truncated");
    Reader r(bytes.data() + sizeof kMagic);
    Header h;
    h.version = r.get<std::uint32_t>();
    if (h.version != kTreeStateVersion)
        return Error{"unsupported tree state version " + std::to_string(h.version) + " (this kestrum reads version " +
                     std::to_string(kTreeStateVersion) + ")"};
    const std::uint8_t kind = r.get<std::uint8_t>();
    h.kind = static_cast<Kind>(kind);
    h.metric = r.get<std::uint8_t>();
    h.random_selection = r.get<std::uint8_t>();
    h.reserved = r.get<std::uint8_t>();
    h.n_points = r.get<std::uint64_t>();
    h.dim = r.get<std::uint64_t>();
    h.leaf_size = r.get<std::uint64_t>();
    h.node_count = r.get<std::uint64_t>();
    if (h.metric > static_cast<std::uint8_t>(DistanceMetric::Chebyshev)) return invalid("unknown metric");
    if (h.random_selection > 1 || h.reserved != 0) return invalid("unknown flags");
    if (h.leaf_size == 0) return invalid("leaf_size is 0");
    switch (h.kind) {
        case Kind::KD: return read<KDTree>(bytes, h);
        case Kind::Ball: return read<BallTree>(bytes, h);
        case Kind::VP: return read<VPTree>(bytes, h);
    }
    return invalid("unknown tree kind " + std::to_string(kind));
}

}  // namespace kestrum::spatial
