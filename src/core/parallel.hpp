// Independent work items shared among threads. The calling thread is worker 0; further workers are
// threads made for the call. Items are claimed in small contiguous chunks from one counter, so a
// worker that is slowed down (for instance while it waits for the interpreter lock) simply
// claims fewer chunks. What an item computes must not depend on which worker runs it: results
// are then identical for every number of workers.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "core/interrupt.hpp"

namespace kestrum {

// CPUs this process may run on (its affinity mask), at least 1.
std::size_t affinity_cpu_count() noexcept;

// A caller's request for `workers` (positive, or -1 for every CPU of the affinity mask) as a
// thread count; 0 for any other value.
std::size_t resolve_workers(std::int64_t workers) noexcept;

// Asked on the calling thread every few milliseconds while a parallel run is in progress; true
// stops the run (it then ends in Interrupted). The binding layer passes one that briefly takes the
// interpreter lock to run the signal handlers.
struct StopPoll {
    bool (*poll)(void* context) noexcept = nullptr;
    void* context = nullptr;

    bool requested() const noexcept { return poll && poll(context); }
};

// How many threads a run of `items` items gets: at most `workers`, and no more than there are
// chunks worth a thread of their own.
std::size_t plan_threads(std::size_t items, std::size_t workers, std::size_t min_items_per_thread) noexcept;

// Scratch of each worker, made by the worker itself on its first item (so its memory comes from
// that thread's allocator arena) and kept a cache line apart from the other workers' scratch (a
// worker writes its own often; sharing a line would make the cores fight over it).
template <class T>
class PerWorker {
public:
    explicit PerWorker(std::size_t workers) : slots_(workers) {}

    template <class... Args>
    T& get(std::size_t worker, Args&&... args) {
        std::optional<T>& slot = slots_[worker].value;
        if (!slot) slot.emplace(std::forward<Args>(args)...);
        return *slot;
    }
    // The scratch of a worker that ran at least one item, else null.
    T* find(std::size_t worker) { return slots_[worker].value ? &*slots_[worker].value : nullptr; }
    std::size_t size() const { return slots_.size(); }

private:
    struct alignas(64) Slot {
        std::optional<T> value;
    };
    std::vector<Slot> slots_;
};

namespace detail {

// State shared by the workers of one run.
struct ParallelRun {
    std::size_t items = 0;
    std::size_t chunk = 1;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    // The first failing item (in item order) and its exception; items from there on are skipped,
    // so the run reports the failure a sequential loop would meet first.
    std::atomic<std::size_t> fail_at{~std::size_t{0}};
    std::exception_ptr failure;
    std::mutex failure_lock;
    bool interrupted = false;  // written by worker 0 only

    void fail(std::size_t item, std::exception_ptr e) noexcept;
    // Asks `poll` (on the calling thread); on a request, stops every worker.
    bool poll_stop(const StopPoll& poll) noexcept;
};

// Starts workers 1 .. threads-1 running `work(worker)`, runs `work(0)` on the calling thread, then
// waits for the others, still asking `poll` every kPollInterval. Workers whose thread cannot be
// made are left out (the others claim their chunks).
void run_workers(ParallelRun& run, std::size_t threads, void (*work)(void* body, std::size_t worker), void* body,
                 const StopPoll& poll);

inline constexpr auto kPollInterval = std::chrono::milliseconds(10);

}  // namespace detail

// Runs item(worker, i) for every i in [0, items) on `threads` workers (see plan_threads). Each
// item runs once, on one worker; worker w uses only its own scratch. Rethrows the failure of the
// first failing item; throws Interrupted when `poll` asked to stop (no result is then complete).
template <class Item>
void parallel_for(std::size_t items, std::size_t threads, std::size_t chunk, const StopPoll& poll, Item&& item) {
    detail::ParallelRun run;
    run.items = items;
    run.chunk = chunk ? chunk : 1;
    struct Body {
        detail::ParallelRun& run;
        Item& item;
        const StopPoll& poll;

        void operator()(std::size_t worker) {
            using Clock = std::chrono::steady_clock;
            const bool polls = worker == 0 && poll.poll;
            auto last_poll = polls ? Clock::now() : Clock::time_point{};
            std::uint32_t since_clock = 0;
            for (;;) {
                const std::size_t begin = run.next.fetch_add(run.chunk, std::memory_order_relaxed);
                if (begin >= run.items) return;
                const std::size_t end = begin + run.chunk < run.items ? begin + run.chunk : run.items;
                for (std::size_t i = begin; i < end; ++i) {
                    if (run.stop.load(std::memory_order_relaxed) || i >= run.fail_at.load(std::memory_order_relaxed))
                        return;
                    try {
                        item(worker, i);
                    } catch (...) {
                        run.fail(i, std::current_exception());
                        return;
                    }
                    // The clock is read every few items, the poll run every kPollInterval.
                    if (polls && ++since_clock == 8) {
                        since_clock = 0;
                        const auto now = Clock::now();
                        if (now - last_poll >= detail::kPollInterval) {
                            if (run.poll_stop(poll)) return;
                            last_poll = Clock::now();
                        }
                    }
                }
            }
        }
    } body{run, item, poll};
    detail::run_workers(
        run, threads, [](void* b, std::size_t worker) { (*static_cast<Body*>(b))(worker); }, &body, poll);
    if (run.interrupted) throw Interrupted{};
    if (run.failure) std::rethrow_exception(run.failure);
}

}  // namespace kestrum
