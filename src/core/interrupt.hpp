// Cooperative interruption of long core loops (Ctrl-C). The core cannot see Python: the binding
// layer installs a poll that says whether the caller asked to stop, and loops ask it through a
// countdown so that a check costs one subtraction per unit of work.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrum {

// Thrown from a core loop when the poll reported a request to stop. Code that catches it (or lets
// it pass) must leave no object half-written; the binding layer raises the pending exception.
struct Interrupted {};

using InterruptPoll = bool (*)() noexcept;

// Installed once by the binding layer; without one nothing is ever interrupted.
void set_interrupt_poll(InterruptPoll poll) noexcept;

// Asks the installed poll now. Call only on the thread that entered the core from Python while it
// holds the interpreter lock; worker threads stop through their own shared flag instead.
bool interrupt_requested() noexcept;

// Polls about every `quantum` units of work (a unit is whatever the loop counts: elements,
// multiply-adds, visited nodes). The default is about a millisecond of simple element work.
class InterruptCheck {
public:
    static constexpr std::uint64_t kDefaultQuantum = std::uint64_t{1} << 20;

    explicit InterruptCheck(std::uint64_t quantum = kDefaultQuantum) : quantum_(quantum), left_(quantum) {}

    // Counts `work` units; throws Interrupted when a due poll reports a request.
    void tick(std::uint64_t work = 1) {
        if (work < left_) {
            left_ -= work;
            return;
        }
        left_ = quantum_;
        if (interrupt_requested()) throw Interrupted{};
    }

private:
    std::uint64_t quantum_;
    std::uint64_t left_;
};

// Calls body(begin, end) on consecutive runs that cover [0, n) in order, counting `cost` units
// per item after each run: an element loop too tight for a check per element stops between runs.
template <class Body>
void for_each_run(std::size_t n, std::uint64_t cost, Body&& body) {
    constexpr std::size_t kRun = 4096;
    InterruptCheck check;
    for (std::size_t begin = 0; begin < n; begin += kRun) {
        const std::size_t end = n - begin < kRun ? n : begin + kRun;
        body(begin, end);
        check.tick((end - begin) * cost);
    }
}

}  // namespace kestrum
