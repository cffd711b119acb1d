// The installed interrupt poll.
#include "core/interrupt.hpp"

#include <atomic>

namespace kestrum {

namespace {
std::atomic<InterruptPoll> installed_poll{nullptr};
}

void set_interrupt_poll(InterruptPoll poll) noexcept { installed_poll.store(poll, std::memory_order_relaxed); }

bool interrupt_requested() noexcept {
    const InterruptPoll poll = installed_poll.load(std::memory_order_relaxed);
    return poll && poll();
}

}  // namespace kestrum
