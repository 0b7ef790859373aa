// The run's helper threads: every task runs once on each of its workers, however
// tasks of different sizes follow each other, whether the helpers were waiting
// actively or asleep; failures come back to the caller; the helpers compute in
// the caller's floating-point environment.
#include <gtest/gtest.h>

#include <atomic>
#include <cfenv>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "stats/parallel.h"

namespace {

// One helper waits actively on this two-core machine; three are more threads than
// cores and sleep between tasks.
TEST(WorkerTeam, EveryTaskRunsOnceOnEachOfItsWorkers) {
    for (int helpers : {1, 3}) {
        WorkerTeam team(helpers);
        ASSERT_EQ(team.size(), helpers + 1);
        std::vector<std::atomic<int>> runs(4);
        // Sizes that leave helpers out, right before sizes that need them all.
        const int counts[] = {1, 4, 2, 9, 0, 3, 4, 1, 2};
        for (int round = 0; round < 3000; ++round) {
            const int count = counts[round % 9];
            for (std::atomic<int>& r : runs) r.store(0);
            const std::thread::id caller = std::this_thread::get_id();
            std::atomic<bool> workerZeroOnCaller{false};
            const int ran = team.run(count, [&](int worker) {
                runs[static_cast<std::size_t>(worker)].fetch_add(1);
                if (worker == 0) workerZeroOnCaller.store(std::this_thread::get_id() == caller);
            });
            const int expected = std::max(1, std::min(count, team.size()));
            ASSERT_EQ(ran, expected) << helpers << " helpers, round " << round;
            for (int w = 0; w < 4; ++w)
                ASSERT_EQ(runs[static_cast<std::size_t>(w)].load(), w < expected ? 1 : 0)
                    << helpers << " helpers, round " << round << ", worker " << w;
            ASSERT_TRUE(workerZeroOnCaller.load());
        }
    }
}

TEST(WorkerTeam, SleepingHelpersWakeForTheNextTask) {
    WorkerTeam team(2);
    for (int round = 0; round < 3; ++round) {
        // Longer than the helpers wait actively, so they are asleep.
        std::this_thread::sleep_for(kActiveWait * 3);
        std::atomic<int> sum{0};
        EXPECT_EQ(team.run(3, [&](int worker) { sum.fetch_add(worker + 1); }), 3);
        EXPECT_EQ(sum.load(), 6);
    }
}

TEST(WorkerTeam, AFailureReachesTheCallerAndTheTeamGoesOn) {
    WorkerTeam team(2);
    std::atomic<int> finished{0};
    EXPECT_THROW(team.run(3,
                          [&](int worker) {
                              if (worker == 2) throw std::runtime_error("helper failed");
                              finished.fetch_add(1);
                          }),
                 std::runtime_error);
    EXPECT_EQ(finished.load(), 2) << "the others still finished before the failure was handed back";
    std::atomic<int> sum{0};
    EXPECT_EQ(team.run(3, [&](int worker) { sum.fetch_add(worker); }), 3);
    EXPECT_EQ(sum.load(), 3);
    EXPECT_THROW(team.run(2, [](int worker) {
                     if (worker == 0) throw std::runtime_error("caller failed");
                 }),
                 std::runtime_error);
}

TEST(WorkerTeam, HelpersRoundAsTheCallerDoes) {
    const int saved = std::fegetround();
    WorkerTeam team(2);
    volatile float third = 1.0f;
    for (int mode : {FE_UPWARD, FE_DOWNWARD, FE_TONEAREST}) {
        ASSERT_EQ(std::fesetround(mode), 0);
        std::vector<float> results(3, 0.0f);
        std::vector<int> modes(3, -1);
        team.run(3, [&](int worker) {
            modes[static_cast<std::size_t>(worker)] = std::fegetround();
            results[static_cast<std::size_t>(worker)] = third / 3.0f;
        });
        for (int w = 0; w < 3; ++w) {
            EXPECT_EQ(modes[static_cast<std::size_t>(w)], mode) << w;
            EXPECT_EQ(results[static_cast<std::size_t>(w)], results[0]) << w;
        }
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
