// The run's helper threads: every piece of a task's work is done once, however
// tasks of different sizes follow each other and whichever helpers join in;
// helpers join whether they were waiting actively or asleep; failures come back
// to the caller; the helpers compute in the caller's floating-point environment.
#include <gtest/gtest.h>

#include <atomic>
#include <cfenv>
#include <ctime>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "stats/parallel.h"

using namespace ldi;

namespace {

// Worker 0 waits (boundedly) for this many other workers to have started, so
// that a test sees helpers take part rather than the caller doing everything.
bool awaitStarted(const std::atomic<int>& started, int count) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (started.load() < count)
        if (std::chrono::steady_clock::now() > limit) return false;
    return true;
}

// One helper waits actively on this two-core machine; three are more threads than
// cores and sleep between tasks.
TEST(WorkerTeam, EveryPieceOfWorkIsDoneOnceWhicheverWorkersJoin) {
    for (int helpers : {1, 3}) {
        WorkerTeam team(helpers);
        ASSERT_EQ(team.size(), helpers + 1);
        // Sizes that leave helpers out, right before sizes that need them all.
        const int counts[] = {1, 4, 2, 9, 0, 3, 4, 1, 2};
        for (int round = 0; round < 3000; ++round) {
            const int count = counts[round % 9];
            std::vector<std::atomic<int>> pieces(64);
            std::vector<std::atomic<int>> runs(4);
            std::atomic<int> next{0};
            const std::thread::id caller = std::this_thread::get_id();
            std::atomic<bool> workerZeroOnCaller{false};
            const int ran = team.run(count, [&](int worker) {
                runs[static_cast<std::size_t>(worker)].fetch_add(1);
                if (worker == 0) workerZeroOnCaller.store(std::this_thread::get_id() == caller);
                for (int piece = next.fetch_add(1); piece < 64; piece = next.fetch_add(1))
                    pieces[static_cast<std::size_t>(piece)].fetch_add(1);
            });
            const int most = std::max(1, std::min(count, team.size()));
            int distinct = 0;
            for (int w = 0; w < 4; ++w) {
                const int r = runs[static_cast<std::size_t>(w)].load();
                ASSERT_LE(r, w < most ? 1 : 0) << helpers << " helpers, round " << round << ", worker " << w;
                distinct += r;
            }
            ASSERT_EQ(runs[0].load(), 1);
            ASSERT_EQ(ran, distinct) << helpers << " helpers, round " << round;
            ASSERT_TRUE(workerZeroOnCaller.load());
            for (int piece = 0; piece < 64; ++piece)
                ASSERT_EQ(pieces[static_cast<std::size_t>(piece)].load(), 1) << "round " << round << ", piece " << piece;
        }
    }
}

TEST(WorkerTeam, ATeamThatWaitsForEveryHelperRunsEveryWorker) {
    for (int helpers : {1, 3}) {
        WorkerTeam team(helpers, true);
        for (int round = 0; round < 1000; ++round) {
            const int count = 1 + round % 5;
            std::vector<std::atomic<int>> runs(4);
            const int ran = team.run(count, [&](int worker) { runs[static_cast<std::size_t>(worker)].fetch_add(1); });
            const int expected = std::min(count, team.size());
            ASSERT_EQ(ran, expected);
            for (int w = 0; w < 4; ++w)
                ASSERT_EQ(runs[static_cast<std::size_t>(w)].load(), w < expected ? 1 : 0)
                    << helpers << " helpers, round " << round << ", worker " << w;
        }
    }
}

TEST(WorkerTeam, HelpersJoinWhetherWaitingOrAsleep) {
    WorkerTeam team(2);
    for (int round = 0; round < 6; ++round) {
        // Every other round longer than the helpers wait actively, so they are asleep.
        if (round % 2 == 1) std::this_thread::sleep_for(kActiveWait * 3);
        std::atomic<int> started{0};
        std::atomic<int> sum{0};
        const int ran = team.run(3, [&](int worker) {
            started.fetch_add(1);
            if (worker == 0) {
                EXPECT_TRUE(awaitStarted(started, 3));
            }
            sum.fetch_add(worker + 1);
        });
        EXPECT_EQ(ran, 3) << round;
        EXPECT_EQ(sum.load(), 6) << round;
    }
}

// Between tasks the helpers wait actively for a short while at most, then sleep;
// in particular a new helper, which usually starts on the caller's core, must not
// spin there. The process's CPU time while the caller sleeps tells.
TEST(WorkerTeam, IdleHelpersSleep) {
    const auto cpuTime = [] {
        timespec now{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
        return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
    };
    for (int round = 0; round < 5; ++round) {
        WorkerTeam team(1);
        if (round % 2 == 1) team.run(2, [](int) {});
        const auto before = cpuTime();
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        const auto used = cpuTime() - before;
        EXPECT_LT(used, kActiveWait * 2 + std::chrono::milliseconds(5)) << "round " << round;
    }
}

TEST(WorkerTeam, AFailureReachesTheCallerAndTheTeamGoesOn) {
    WorkerTeam team(1);
    std::atomic<int> started{0};
    EXPECT_THROW(team.run(2,
                          [&](int worker) {
                              started.fetch_add(1);
                              if (worker == 1) throw std::runtime_error("helper failed");
                              EXPECT_TRUE(awaitStarted(started, 2));
                          }),
                 std::runtime_error);
    started.store(0);
    std::atomic<int> sum{0};
    EXPECT_EQ(team.run(2,
                       [&](int worker) {
                           started.fetch_add(1);
                           if (worker == 0) {
                               EXPECT_TRUE(awaitStarted(started, 2));
                           }
                           sum.fetch_add(worker + 1);
                       }),
              2);
    EXPECT_EQ(sum.load(), 3);
    EXPECT_THROW(team.run(2, [](int worker) {
                     if (worker == 0) throw std::runtime_error("caller failed");
                 }),
                 std::runtime_error);
}

TEST(WorkerTeam, HelpersRoundAsTheCallerDoes) {
    const int saved = std::fegetround();
    WorkerTeam team(1);
    volatile float one = 1.0f;
    for (int mode : {FE_UPWARD, FE_DOWNWARD, FE_TONEAREST}) {
        ASSERT_EQ(std::fesetround(mode), 0);
        std::vector<float> results(2, 0.0f);
        std::vector<int> modes(2, -1);
        std::atomic<int> started{0};
        EXPECT_EQ(team.run(2,
                           [&](int worker) {
                               started.fetch_add(1);
                               if (worker == 0) {
                                   EXPECT_TRUE(awaitStarted(started, 2));
                               }
                               modes[static_cast<std::size_t>(worker)] = std::fegetround();
                               results[static_cast<std::size_t>(worker)] = one / 3.0f;
                           }),
                  2);
        EXPECT_EQ(modes[0], mode);
        EXPECT_EQ(modes[1], mode);
        EXPECT_EQ(results[1], results[0]);
    }
    std::fesetround(saved);
}

TEST(WorkerTeam, WithoutHelpersOrWithoutATeamTheCallerWorksAlone) {
    WorkerTeam alone(0);
    EXPECT_EQ(alone.size(), 1);
    int calls = 0;
    EXPECT_EQ(alone.run(5, [&](int worker) { calls += worker == 0 ? 1 : 100; }), 1);
    EXPECT_EQ(calls, 1);

    const std::thread::id caller = std::this_thread::get_id();
    bool onCaller = false;
    EXPECT_EQ(runOnWorkers(1, [&](int) { onCaller = std::this_thread::get_id() == caller; }), 1);
    EXPECT_TRUE(onCaller);
    std::atomic<int> sum{0};
    EXPECT_EQ(runOnWorkers(3, [&](int worker) { sum.fetch_add(worker); }), 3);
    EXPECT_EQ(sum.load(), 3);
}

}  // namespace
