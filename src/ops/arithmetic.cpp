// Array-with-array arithmetic under broadcasting, contiguous runs through the vector kernels.
#include "ops/arithmetic.hpp"

#include <optional>

#include "array/broadcast.hpp"
#include "ops/kernels.hpp"

namespace kestrum {

namespace {

[[noreturn]] void not_compatible() { panic("Shapes are not broadcast-compatible"); }

// Shorter runs than this go through the pair-by-pair walk: the blocked loop would not pay off.
constexpr std::uint64_t kMinRun = 8;

// How one operand is read along the innermost run of the result.
enum class Run { Unknown, Contiguous, Repeated };

// The result split into an outer odometer over dims [0, outer) and inner runs of `run`
// consecutive result elements, along which each operand is contiguous or one repeated element.
struct Plan {
    std::size_t outer = 0;
    std::uint64_t run = 1;
    Run a = Run::Unknown, b = Run::Unknown;
    std::vector<std::uint64_t> a_step, b_step;  // per result dim; 0 where the operand repeats
};

// Per result dimension, the operand's storage step (0 for broadcast or missing dimensions).
std::vector<std::uint64_t> steps(const Shape& result, const Shape& operand) {
    std::vector<std::uint64_t> out(result.ndim(), 0);
    const std::vector<std::uint64_t> strides = operand.strides_row_major();
    const std::size_t lead = result.ndim() - operand.ndim();
    for (std::size_t j = 0; j < operand.ndim(); ++j)
        if (operand.dims[j] != 1) out[lead + j] = strides[j];
    return out;
}

// Whether a dimension with storage step `step` extends a run of `run` elements of kind `kind`.
bool extends(Run& kind, std::uint64_t step, std::uint64_t run) {
    const Run want = step == 0 ? Run::Repeated : (step == run ? Run::Contiguous : Run::Unknown);
    if (want == Run::Unknown) return false;
    if (kind == Run::Unknown) kind = want;
    return kind == want;
}

Plan make_plan(const Shape& result, const Shape& a, const Shape& b) {
    Plan p;
    p.a_step = steps(result, a);
    p.b_step = steps(result, b);
    std::size_t d = result.ndim();
    for (; d > 0; --d) {
        const std::uint64_t dim = result.dims[d - 1];
        if (dim == 1) continue;
        Run ka = p.a, kb = p.b;
        if (!extends(ka, p.a_step[d - 1], p.run) || !extends(kb, p.b_step[d - 1], p.run)) break;
        p.a = ka;
        p.b = kb;
        p.run *= dim;
    }
    p.outer = d;
    if (p.a == Run::Unknown) p.a = Run::Contiguous;  // all dims of size 1: a single element
    if (p.b == Run::Unknown) p.b = Run::Contiguous;
    return p;
}

template <class Op>
void run_into(double* dst, const double* x, Run kx, const double* y, Run ky, std::uint64_t n) {
    if (kx == Run::Contiguous && ky == Run::Contiguous) {
        kernels::zip_into(dst, x, y, n, [](double u, double v) { return Op::apply(u, v); });
    } else if (kx == Run::Contiguous) {
        const double v = *y;
        kernels::map_into(dst, x, n, [v](double u) { return Op::apply(u, v); });
    } else if (ky == Run::Contiguous) {
        const double u = *x;
        kernels::map_into(dst, y, n, [u](double v) { return Op::apply(u, v); });
    } else {
        const double r = Op::apply(*x, *y);
        for (std::uint64_t i = 0; i < n; ++i) dst[i] = r;
    }
}

// Walks the outer dimensions like an odometer; each step hands one inner run to the kernel.
template <class Op>
ArrayF64 blocked(const ArrayF64& a, const ArrayF64& b, Shape result, const Plan& p) {
    ArrayF64 out = ArrayF64::uninit(std::move(result));
    const std::uint64_t total = out.size();
    if (total == 0) return out;
    std::vector<std::uint64_t> index(p.outer, 0);
    std::uint64_t ia = 0, ib = 0;
    const auto& dims = out.shape.dims;
    for (std::uint64_t k = 0; k < total; k += p.run) {
        // Both runs lie inside their storage by construction; checked all the same.
        check_index(ia + (p.a == Run::Contiguous ? p.run - 1 : 0), a.size());
        check_index(ib + (p.b == Run::Contiguous ? p.run - 1 : 0), b.size());
        run_into<Op>(out.data.data() + k, a.data.data() + ia, p.a, b.data.data() + ib, p.b, p.run);
        for (std::size_t d = p.outer; d-- > 0;) {
            ia += p.a_step[d];
            ib += p.b_step[d];
            if (++index[d] < dims[d]) break;
            ia -= p.a_step[d] * dims[d];
            ib -= p.b_step[d] * dims[d];
            index[d] = 0;
        }
    }
    return out;
}

}  // namespace

template <class Op>
ArrayF64 binary_op_pairwise(const ArrayF64& a, const ArrayF64& b) {
    std::optional<BroadcastIter> it = BroadcastIter::create(a.shape, b.shape);
    if (!it) not_compatible();
    ArrayF64 out = ArrayF64::uninit(it->shape);
    double* dst = out.data.data();
    std::uint64_t k = 0;
    while (auto pair = it->next()) dst[k++] = Op::apply(a.data.at(pair->first), b.data.at(pair->second));
    return out;
}

template <class Op>
ArrayF64 binary_op(const ArrayF64& a, const ArrayF64& b) {
    if (a.shape == b.shape) {
        ArrayF64 out = ArrayF64::uninit(a.shape);
        kernels::zip_into(out.data.data(), a.data.data(), b.data.data(), out.size(),
                          [](double u, double v) { return Op::apply(u, v); });
        return out;
    }
    std::optional<Shape> result = Shape::broadcast(a.shape, b.shape);
    if (!result) not_compatible();
    const Plan plan = make_plan(*result, a.shape, b.shape);
    if (plan.run < kMinRun) return binary_op_pairwise<Op>(a, b);
    return blocked<Op>(a, b, std::move(*result), plan);
}

#define KESTRUM_BINARY_OP(Op)                                              \
    template ArrayF64 binary_op<op::Op>(const ArrayF64&, const ArrayF64&); \
    template ArrayF64 binary_op_pairwise<op::Op>(const ArrayF64&, const ArrayF64&);
KESTRUM_BINARY_OP(Add)
KESTRUM_BINARY_OP(Subtract)
KESTRUM_BINARY_OP(Multiply)
KESTRUM_BINARY_OP(Divide)
#undef KESTRUM_BINARY_OP

}  // namespace kestrum
