// The program's pseudo-random generator: integers from 0 to 32767 with a seed operation.
//
// One process-wide instance serves the whole run: fillStandardNormal reseeds it for every
// surrogate series and the voxel pass draws its surrogate indices from where the last
// seeding left it, so the draws of a run follow from its seeding. The state is a small
// value type so that a faster (e.g. parallel) voxel pass can copy it, pre-draw in the
// same order as the sequential pass and write it back.
//
// The calendar clock used for seeding is read through calendarSeconds(); tests pin it
// to make a run reproducible.
#pragma once

#include <cstdint>

constexpr int32_t kRandomMax = 32767;

// Linear congruential generator in 32-bit unsigned arithmetic:
// next := next * 1103515245 + 12345, value := (next / 65536) mod 32768.
struct RandomState {
    uint32_t next = 1;
};

inline void seedRandom(RandomState& state, uint32_t seed) { state.next = seed; }

inline int32_t nextRandom(RandomState& state) {
    state.next = state.next * 1103515245u + 12345u;
    return static_cast<int32_t>((state.next / 65536u) % 32768u);
}

// Advances the generator by `count` draws at once (the affine step composed
// with itself), exactly as `count` calls of nextRandom would.
inline void skipRandom(RandomState& state, uint64_t count) {
    uint32_t multiplier = 1103515245u;
    uint32_t increment = 12345u;
    uint32_t totalMultiplier = 1u;
    uint32_t totalIncrement = 0u;
    while (count > 0) {
        if ((count & 1u) != 0) {
            totalMultiplier *= multiplier;
            totalIncrement = totalIncrement * multiplier + increment;
        }
        increment = (multiplier + 1u) * increment;
        multiplier *= multiplier;
        count >>= 1;
    }
    state.next = state.next * totalMultiplier + totalIncrement;
}

// The process-wide generator.
RandomState& processRandom();
inline void seedRandom(uint32_t seed) { seedRandom(processRandom(), seed); }
inline int32_t nextRandom() { return nextRandom(processRandom()); }

// Calendar time in whole seconds (the pinned value while one is set).
int64_t calendarSeconds();
void pinCalendarClock(int64_t seconds);
void unpinCalendarClock();
// True with the pinned value while one is set.
bool calendarClockPinned(int64_t& seconds);

// The seed of a series drawn with the given offset: offset + the calendar time truncated
// to 32 bits, with 32-bit wrap-around.
inline uint32_t seriesSeed(int32_t offset) {
    return static_cast<uint32_t>(offset) + static_cast<uint32_t>(calendarSeconds());
}
