// Worker threads of a parallel run: thread counts, start, interruption and join.
#include "core/parallel.hpp"

#include <sched.h>

#include <cerrno>
#include <condition_variable>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace kestrum {

std::size_t affinity_cpu_count() noexcept {
    // The mask may be wider than the default cpu_set_t on large machines: grow it until it fits.
    for (int cpus = CPU_SETSIZE; cpus <= (1 << 16); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (!set) break;
        const std::size_t size = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(size, set);
        const int rc = sched_getaffinity(0, size, set);
        const int count = rc == 0 ? CPU_COUNT_S(size, set) : 0;
        CPU_FREE(set);
        if (rc == 0) return count > 0 ? static_cast<std::size_t>(count) : 1;
        if (errno != EINVAL) break;
    }
    const unsigned hw = std::thread::hardware_concurrency();
    return hw ? hw : 1;
}

std::size_t resolve_workers(std::int64_t workers) noexcept {
    if (workers == -1) return affinity_cpu_count();
    return workers > 0 ? static_cast<std::size_t>(workers) : 0;
}

std::size_t plan_threads(std::size_t items, std::size_t workers, std::size_t min_items_per_thread) noexcept {
    // Far more threads than CPUs only adds start-up cost; results do not depend on the count.
    constexpr std::size_t kMaxThreads = 256;
    const std::size_t per = min_items_per_thread ? min_items_per_thread : 1;
    const std::size_t useful = items / per + (items % per != 0);
    std::size_t t = workers < useful ? workers : useful;
    if (t > kMaxThreads) t = kMaxThreads;
    return t ? t : 1;
}

namespace detail {

void ParallelRun::fail(std::size_t item, std::exception_ptr e) noexcept {
    std::lock_guard<std::mutex> lock(failure_lock);
    if (item < fail_at.load(std::memory_order_relaxed)) {
        failure = std::move(e);
        fail_at.store(item, std::memory_order_relaxed);
    }
}

bool ParallelRun::poll_stop(const StopPoll& poll) noexcept {
    if (!interrupted && poll.requested()) {
        interrupted = true;
        stop.store(true, std::memory_order_relaxed);
    }
    return interrupted;
}

void run_workers(ParallelRun& run, std::size_t threads, void (*work)(void* body, std::size_t worker), void* body,
                 const StopPoll& poll) {
    std::mutex lock;
    std::condition_variable finished;
    std::size_t running = 0;
    std::vector<std::thread> started;
    try {
        started.reserve(threads > 0 ? threads - 1 : 0);
        for (std::size_t w = 1; w < threads; ++w) {
            {
                std::lock_guard<std::mutex> guard(lock);
                ++running;
            }
            try {
                started.emplace_back([&, w] {
                    work(body, w);
                    std::lock_guard<std::mutex> guard(lock);
                    if (--running == 0) finished.notify_one();
                });
            } catch (...) {
                std::lock_guard<std::mutex> guard(lock);
                --running;
                throw;
            }
        }
    } catch (const std::system_error&) {
        // No more threads to be had: the ones running share the work.
    } catch (const std::bad_alloc&) {}
    work(body, 0);
    {
        std::unique_lock<std::mutex> guard(lock);
        while (running > 0) {
            if (!poll.poll) {
                finished.wait(guard, [&] { return running == 0; });
                break;
            }
            if (finished.wait_for(guard, kPollInterval, [&] { return running == 0; })) break;
            guard.unlock();
            run.poll_stop(poll);
            guard.lock();
        }
    }
    for (std::thread& t : started) t.join();
}

}  // namespace detail

}  // namespace kestrum
