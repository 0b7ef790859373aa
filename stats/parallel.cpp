#include "stats/parallel.h"

#include <algorithm>
#include <atomic>
#include <cfenv>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#endif

namespace ldi {

int threadCountFor(int requested) { return requested > 0 ? requested : availableCoreCount(); }

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

namespace {

// The core the calling thread runs on, -1 where the system does not tell.
int currentCore() {
#if defined(__linux__)
    return sched_getcpu();
#else
    return -1;
#endif
}

// Moves the calling (new) thread off `core`, where its creator runs, and then
// lets it run anywhere again: it stays where it was moved, and the system wakes
// it there later, instead of queueing it behind its creator, which it may do
// for milliseconds even with another core idle.
void leaveCore(int core) {
#if defined(__linux__)
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (core < 0 || core >= CPU_SETSIZE || pthread_getaffinity_np(pthread_self(), sizeof allowed, &allowed) != 0)
        return;
    cpu_set_t others = allowed;
    CPU_CLR(core, &others);
    if (CPU_COUNT(&others) == 0) return;  // nowhere else to go
    if (pthread_setaffinity_np(pthread_self(), sizeof others, &others) == 0)
        (void)pthread_setaffinity_np(pthread_self(), sizeof allowed, &allowed);
#else
    (void)core;
#endif
}

constexpr int kJobCountBits = 24;
constexpr uint64_t kJobCountMask = (uint64_t{1} << kJobCountBits) - 1;

}  // namespace

std::chrono::microseconds activeWaitFor(int threads) {
    return threads <= availableCoreCount() ? kActiveWait : std::chrono::microseconds{0};
}

bool WorkerTeam::onCallersCore() const {
    const int core = currentCore();
    return core >= 0 && core == callerCpu_.load();
}

WorkerTeam::WorkerTeam(int helperCount, bool waitForEveryHelper) : waitForEveryHelper_(waitForEveryHelper) {
    // Until the first task the caller's core is the creator's: a helper that
    // could not leave it sleeps there rather than wait actively.
    creatorCore_ = currentCore();
    callerCpu_.store(creatorCore_);
    failures_.resize(static_cast<std::size_t>(helperCount > 0 ? helperCount : 0) + 1);
    claims_.reset(new std::atomic<uint64_t>[failures_.size()]);
    for (std::size_t i = 0; i < failures_.size(); ++i) claims_[i].store(0);
    activeWait_ = activeWaitFor(std::max(helperCount, 0) + 1);
    for (int index = 1; index <= helperCount; ++index) {
        try {
            threads_.emplace_back(&WorkerTeam::helperLoop, this, index);
        } catch (const std::system_error&) {
            break;  // refused by the system: fewer helpers
        }
    }
    // A new thread usually starts on its creator's core and may wait there for
    // milliseconds while the creator works on. Giving the core away until every
    // helper has started (and moved to another core) lets them run now. Not a
    // sleep: the system would wake the creator on the core of the helper that
    // woke it, the very sharing this avoids.
    while (startedHelpers_.load() < threads_.size()) std::this_thread::yield();
}

WorkerTeam::~WorkerTeam() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_.store(true);
    }
    wake_.notify_all();
    for (std::thread& thread : threads_) thread.join();
}

void WorkerTeam::helperLoop(int index) {
    leaveCore(creatorCore_);
    startedHelpers_.fetch_add(1);
    uint64_t seen = 0;
    for (;;) {
        const auto handedOut = [&] { return job_.load(std::memory_order_acquire) != seen || stopping_.load(); };
        // On the caller's core it sleeps at once (see the class comment).
        waitUntil(handedOut, onCallersCore() ? std::chrono::microseconds{0} : activeWait_, lock_, wake_);
        if (stopping_.load()) return;
        seen = job_.load(std::memory_order_acquire);
        // A helper not needed for this task may see it late, when the caller has
        // moved on; it only ever acts on the job it read.
        if (index >= static_cast<int>(seen & kJobCountMask)) continue;
        const uint64_t number = seen >> kJobCountBits;
        uint64_t claimed = claims_[static_cast<std::size_t>(index)].load();
        if (claimed >= number || !claims_[static_cast<std::size_t>(index)].compare_exchange_strong(claimed, number))
            continue;  // the caller went on without this helper
        std::fesetenv(&environment_);
        try {
            (*task_)(index);
        } catch (...) {
            failures_[static_cast<std::size_t>(index)] = std::current_exception();
        }
        if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            std::lock_guard<std::mutex> guard(lock_);
            done_.notify_all();
        }
    }
}

int WorkerTeam::run(int count, const std::function<void(int worker)>& task) {
    const int workers = std::max(1, std::min({count, size(), static_cast<int>(kJobCountMask)}));
    for (std::exception_ptr& failure : failures_) failure = nullptr;
    uint64_t number = 0;
    if (workers > 1) {
        std::lock_guard<std::mutex> guard(lock_);
        task_ = &task;
        std::fegetenv(&environment_);
        pending_.store(workers - 1);
        number = (job_.load() >> kJobCountBits) + 1;
        callerCpu_.store(currentCore());
        job_.store((number << kJobCountBits) | static_cast<uint64_t>(workers), std::memory_order_release);
    }
    if (workers > 1) wake_.notify_all();
    try {
        task(0);
    } catch (...) {
        failures_[0] = std::current_exception();
    }
    // Helpers that have not started yet are not needed any more.
    int ran = workers;
    for (int index = 1; index < workers && !waitForEveryHelper_; ++index) {
        std::atomic<uint64_t>& claim = claims_[static_cast<std::size_t>(index)];
        uint64_t claimed = claim.load();
        if (claimed < number && claim.compare_exchange_strong(claimed, number)) {
            --ran;
            pending_.fetch_sub(1, std::memory_order_acq_rel);
        }
    }
    if (workers > 1)
        waitUntil([&] { return pending_.load(std::memory_order_acquire) == 0; }, activeWait_, lock_, done_);
    for (const std::exception_ptr& failure : failures_)
        if (failure) std::rethrow_exception(failure);
    return ran;
}

int runOnWorkers(int count, const std::function<void(int worker)>& task, WorkerTeam* team) {
    if (team != nullptr) return team->run(count, task);
    if (count <= 1) {  // nothing to start (and nothing allocated)
        task(0);
        return 1;
    }
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

int shareWork(int workers, int64_t total, int64_t chunk,
              const std::function<void(int64_t begin, int64_t end, int worker)>& body, WorkerTeam* team) {
    WorkCounter counter(total, chunk);
    return runOnWorkers(workers, [&](int worker) {
        int64_t begin = 0;
        int64_t end = 0;
        while (counter.next(begin, end)) body(begin, end, worker);
    }, team);
}

}  // namespace ldi
