// The seed of a run's random numbers. Every surrogate series is seeded with
// its number plus the calendar clock, and the voxel pass draws on from where
// the last series left the generator, so one clock reading decides the whole
// run. The run reads the clock once, at its start, and keeps that reading for
// all its series (a second boundary passed during the surrogates would
// otherwise give series seeded from two readings); a host may fix the reading.
#pragma once

#include <cstdint>

// The reading the following runs use; negative: the clock (the default).
void requestRunSeed(int64_t seed);

// The reading of the run in progress, or of the last one; -1 before any run.
int64_t currentRunSeed();

// Fixes the reading for the lifetime of the object and says so in the log
// pane; afterwards the clock is as it was (a clock pinned by whoever runs the
// plug-in in-process stays pinned).
class RunSeedScope {
public:
    RunSeedScope();
    ~RunSeedScope();
    RunSeedScope(const RunSeedScope&) = delete;
    RunSeedScope& operator=(const RunSeedScope&) = delete;

private:
    bool wasPinned_ = false;
    int64_t pinnedBefore_ = 0;
};
