// The program's pseudo-random generator: integers from 0 to 32767 with a seed operation.
//
// Every run owns its generator: each surrogate series reseeds one from the run's seed
// and the series' number, and the voxel pass draws its surrogate indices from where the
// last seeding left the run's generator, so the draws of a run follow from its seed
// alone and runs side by side do not disturb each other. The state is a small value
// type so that a faster (e.g. parallel) voxel pass can copy it, pre-draw in the same
// order as the sequential pass and move it on.
#pragma once

#include <cstdint>

namespace ldi {

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

// The seed of a series drawn with the given offset from a run seeded with `base`:
// offset + base, with 32-bit wrap-around.
inline uint32_t seriesSeed(uint32_t base, int32_t offset) { return static_cast<uint32_t>(offset) + base; }

}  // namespace ldi
