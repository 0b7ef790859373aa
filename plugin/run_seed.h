// What a host asks of the following runs through the plug-in's exported
// functions: the seed of their random numbers and their threads. The exports
// take no plug-in object, so the requests are kept here, for the library, and
// every run copies them into its own input when it starts.
//
// Every surrogate series is seeded with its number plus the run's seed, and
// the voxel pass draws on from where the last series left the generator, so
// the seed decides the whole run. Without a requested seed a run reads the
// calendar clock once, at its start, and keeps that reading for all its series
// (a second boundary passed during the surrogates would otherwise give series
// seeded from two readings).
#pragma once

#include <cstdint>

namespace ldi {

// The seed the following runs use; negative: the clock (the default).
void requestRunSeed(int64_t seed);

// The seed of the run in progress, or of the last one; -1 before any run.
int64_t currentRunSeed();

// The seed of a run starting now: the requested one, or the clock's reading.
// It becomes the current seed and is said in the log pane.
int64_t startRunSeed();

// Threads of the following runs; 0 or negative: every available core (the default).
void requestThreadCount(int count);
int requestedThreadCount();

}  // namespace ldi
