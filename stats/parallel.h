// The threads of the computation: how many, and a way to run one task on several
// of them. Every parallel step of the program gives results that do not depend on
// the number of threads.
#pragma once

#include <atomic>
#include <cfenv>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace ldi {

// Cores the process may run on (its CPU affinity where the system tells it).
int availableCoreCount();
// The threads a computation asked for `requested` runs on: that many, or every
// available core for 0 or negative (the default); at least 1.
int threadCountFor(int requested);

// Helper threads kept for the length of a run. Each parallel step of the run
// hands its task to them instead of starting threads of its own: starting a
// thread, and waking a core that has gone idle (slow inside a virtual machine),
// cost tens to hundreds of microseconds every time, per step. Between steps the
// helpers wait actively for a moment, then sleep; a helper that finds itself on
// the caller's core sleeps at once, so that the system wakes it on a free one
// rather than have it take turns with the caller (a new thread starts on its
// creator's core, and may stay there for milliseconds).
class WorkerTeam {
public:
    // Starts up to `helperCount` helpers; a thread the system refuses only means
    // fewer of them. With `waitForEveryHelper` a task waits for every helper it
    // was handed to, even one that starts late, so that every worker takes part
    // (for a team made for one task, whose threads have nothing else to do).
    explicit WorkerTeam(int helperCount, bool waitForEveryHelper = false);
    ~WorkerTeam();
    WorkerTeam(const WorkerTeam&) = delete;
    WorkerTeam& operator=(const WorkerTeam&) = delete;

    // The helpers that were started, plus the calling thread.
    int size() const { return static_cast<int>(threads_.size()) + 1; }

    // As runOnWorkers, on at most min(count, size()) workers of the team. One task
    // at a time: a task must not hand another task to its own team.
    int run(int count, const std::function<void(int worker)>& task);

private:
    void helperLoop(int index);
    bool onCallersCore() const;

    std::vector<std::thread> threads_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::condition_variable done_;
    // The task handed out last: its number (one more for every task) in the high
    // bits and its number of workers in the low ones, read together, so that a
    // helper never pairs one task's number with another's worker count.
    std::atomic<uint64_t> job_{0};
    std::atomic<int> pending_{0};  // helpers still working on the current task
    // Per helper, the last task it was claimed for, by itself (it runs it) or by
    // the caller (it need not: the caller's own part is done, so no work is left).
    std::unique_ptr<std::atomic<uint64_t>[]> claims_;
    std::atomic<bool> stopping_{false};
    std::atomic<std::size_t> startedHelpers_{0};
    int creatorCore_ = -1;
    std::chrono::microseconds activeWait_{0};
    bool waitForEveryHelper_ = false;
    std::atomic<int> callerCpu_{-1};  // where the caller handed out its last task (-1: unknown)
    const std::function<void(int)>* task_ = nullptr;
    std::fenv_t environment_{};
    std::vector<std::exception_ptr> failures_;
};

// Runs task(worker) for worker = 0 .. count - 1, worker 0 on the calling thread,
// and returns when every task has returned; returns the number of workers that
// ran. Workers may be fewer (a thread the system refuses; with a team, a helper
// that has not started by the time worker 0 is done is not waited for, since a
// late thread only delays the caller), so a task must share its work out
// dynamically (e.g. from an atomic counter) rather than by worker number, and
// worker numbers that ran need not be consecutive. Each worker starts with the
// calling thread's floating-point environment. With a team the task runs on its
// threads (at most team->size() workers); without one, threads are started for
// this call.
int runOnWorkers(int count, const std::function<void(int worker)>& task, WorkerTeam* team = nullptr);

// Hands out the items [0, total) in chunks of `chunk` to whichever worker asks
// next, so that a worker that starts late or runs slowly simply takes fewer.
class WorkCounter {
public:
    WorkCounter(int64_t total, int64_t chunk) : total_(total), chunk_(chunk > 0 ? chunk : 1) {}
    // The next chunk [begin, end); false when every item has been handed out.
    bool next(int64_t& begin, int64_t& end) {
        begin = next_.fetch_add(chunk_);
        if (begin >= total_) return false;
        end = begin + chunk_ < total_ ? begin + chunk_ : total_;
        return true;
    }

private:
    std::atomic<int64_t> next_{0};
    const int64_t total_;
    const int64_t chunk_;
};

// Runs body(begin, end, worker) for chunks of [0, total) on up to `workers`
// workers (runOnWorkers, with `team` when given). Which worker gets which chunk
// depends on timing, so the body's results must not. Returns the number of
// workers that ran.
int shareWork(int workers, int64_t total, int64_t chunk,
              const std::function<void(int64_t begin, int64_t end, int worker)>& body, WorkerTeam* team = nullptr);

// How long helpers and waiting threads wait actively before they sleep: longer
// than the usual gap between two parallel steps of a run or between two slices'
// turns, short enough not to hold a core that other work needs.
constexpr std::chrono::microseconds kActiveWait{2000};

// The active wait for `threads` threads working together: none when there are
// more of them than cores, since a waiting thread would then take the core of
// the one it waits for.
std::chrono::microseconds activeWaitFor(int threads);

// Waits actively until ready() holds or `budget` has passed; true when it holds.
// For waits that are usually short, where a sleep and a wake-up would cost more
// than the wait; the caller blocks properly when this gives up. After the first
// moments it offers its core to other threads between checks.
template <typename Ready>
bool spinUntil(Ready ready, std::chrono::microseconds budget) {
    if (budget.count() <= 0) return ready();
    const auto start = std::chrono::steady_clock::now();
    for (uint32_t spin = 1;; ++spin) {
        if (ready()) return true;
        // No pause instruction: inside a virtual machine a loop of them makes the
        // hypervisor take the core away, which is the wake-up delay this avoids.
        if (spin >= 4096) std::this_thread::yield();
        if (spin % 64 == 0 && std::chrono::steady_clock::now() - start > budget) return ready();
    }
}

// Waits until ready() holds: actively for up to `budget` (spinUntil), then asleep
// on `changed`, which whoever makes ready() hold notifies after changing the
// state under `lock` (or after taking and releasing it).
template <typename Ready>
void waitUntil(Ready ready, std::chrono::microseconds budget, std::mutex& lock, std::condition_variable& changed) {
    if (spinUntil(ready, budget)) return;
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, ready);
}

}  // namespace ldi
