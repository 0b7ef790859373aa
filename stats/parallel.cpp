#include "stats/parallel.h"

#include <atomic>
#include <cfenv>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

namespace {

std::atomic<int> requestedThreads{0};

}  // namespace

void setComputationThreadCount(int count) { requestedThreads.store(count > 0 ? count : 0); }

int computationThreadCount() {
    const int requested = requestedThreads.load();
    return requested > 0 ? requested : availableCoreCount();
}

int availableCoreCount() {
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return count;
    }
#endif
    const unsigned count = std::thread::hardware_concurrency();
    return count > 0 ? static_cast<int>(count) : 1;
}

int runOnWorkers(int count, const std::function<void(int worker)>& task) {
    // Results must not depend on the thread that computes them, so the helpers
    // round and treat denormals exactly as the caller does.
    std::fenv_t environment;
    std::fegetenv(&environment);
    const int wanted = count > 1 ? count : 1;
    // An exception (exhausted memory) must not end the process from a helper
    // thread: the first one is handed back to the caller once all have stopped.
    std::vector<std::exception_ptr> failures(static_cast<std::size_t>(wanted));
    std::vector<std::thread> helpers;
    for (int worker = 1; worker < wanted; ++worker) {
        try {
            helpers.emplace_back([&task, &environment, &failures, worker] {
                std::fesetenv(&environment);
                try {
                    task(worker);
                } catch (...) {
                    failures[static_cast<std::size_t>(worker)] = std::current_exception();
                }
            });
        } catch (const std::system_error&) {
            break;
        }
    }
    try {
        task(0);
    } catch (...) {
        failures[0] = std::current_exception();
    }
    for (std::thread& helper : helpers) helper.join();
    for (const std::exception_ptr& failure : failures)
        if (failure) std::rethrow_exception(failure);
    return static_cast<int>(helpers.size()) + 1;
}
