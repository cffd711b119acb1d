// Uniform draws read ahead in windows, with the terms of the gamma samplers' proposals taken a
// run at a time.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "random/generator.hpp"
#include "vmath/vmath.hpp"

namespace kestrum {

inline constexpr double kTwoPi = 6.283185307179586;

// The two terms of a Marsaglia-Tsang proposal made from consecutive uniforms u1, u2.
struct Proposal {
    double log_u1;
    double cos_u2;  // cos(u2 * 2 pi)
};

// Draws straight from a generator, one call per term.
struct DirectDraws {
    Generator& g;

    double uniform() { return g.next_f64(); }
    Proposal proposal(std::size_t /*slot*/) {
        const double u1 = g.next_f64();
        const double u2 = g.next_f64();
        return {std::log(u1), std::cos(u2 * kTwoPi)};
    }
};

// The same draws and terms, read from windows drawn ahead. Samplers take turns (slot 0, 1, ...,
// Slots - 1, 0, ...), and a sample of slot s reads `draws[s]` uniforms when its first proposal is
// accepted; the proposal terms at the positions this predicts are computed in vector runs. A
// proposal read anywhere else (after a rejection) predicts again from there. Each term is the C
// library's result for the uniforms actually read, and `finish` leaves the generator exactly
// after the draws consumed, so results and state equal DirectDraws'.
template <std::size_t Slots>
class ProposalStream {
public:
    ProposalStream(const Generator& g, const std::size_t (&draws)[Slots], std::size_t samples)
        : base_(g), ahead_(g) {
        std::size_t cycle = 0;
        for (std::size_t s = 0; s < Slots; ++s) cycle += draws_[s] = draws[s];
        // A small call draws little ahead; larger windows follow if it needs more.
        next_window_ = std::min(kWindow, samples / Slots * cycle + cycle + 2);
    }

    double uniform() {
        if (pos_ == len_) refill();
        return u_[pos_++];
    }

    Proposal proposal(std::size_t slot) {
        if (pos_ + 2 > len_) {  // straddles a window edge
            const double u1 = uniform();
            const double u2 = uniform();
            return {std::log(u1), std::cos(u2 * kTwoPi)};
        }
        if (next_ == planned_ || at_[next_] != pos_) plan(slot);
        const Proposal p{log_[next_], cos_[next_]};
        ++next_;
        pos_ += 2;
        return p;
    }

    // The generator state after the draws consumed so far.
    Generator finish() const {
        Generator g = base_;
        for (std::size_t i = 0; i < pos_; ++i) g.next_u64();
        return g;
    }

private:
    static constexpr std::size_t kWindow = 1024;
    static constexpr std::size_t kPlan = 32;

    void refill() {
        base_ = ahead_;
        len_ = next_window_;
        for (std::size_t i = 0; i < len_; ++i) u_[i] = ahead_.next_f64();
        next_window_ = std::min(kWindow, 2 * next_window_);
        pos_ = 0;
        planned_ = next_ = 0;
    }

    // Predicts up to kPlan proposal positions from the current one, for slot `slot` first.
    void plan(std::size_t slot) {
        std::size_t n = 0;
        for (std::size_t p = pos_; n < kPlan && p + 2 <= len_; ++n) {
            at_[n] = p;
            log_[n] = u_[p];
            cos_[n] = u_[p + 1] * kTwoPi;
            p += draws_[slot];
            slot = slot + 1 == Slots ? 0 : slot + 1;
        }
        vmath::log(log_, log_, n);
        vmath::cos(cos_, cos_, n);
        planned_ = n;
        next_ = 0;
    }

    Generator base_;   // state before the current window's first draw
    Generator ahead_;  // state after its last draw
    std::size_t draws_[Slots];
    std::size_t next_window_;
    std::size_t len_ = 0, pos_ = 0;
    double u_[kWindow];
    std::size_t planned_ = 0, next_ = 0;
    std::size_t at_[kPlan];
    double log_[kPlan], cos_[kPlan];
};

}  // namespace kestrum
