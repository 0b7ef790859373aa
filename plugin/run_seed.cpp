#include "plugin/run_seed.h"

#include <atomic>
#include <ctime>
#include <string>

#include "base/log_pane.h"

namespace ldi {

namespace {

// A host may ask from another thread than the one that runs.
std::atomic<int64_t> requestedSeed{-1};
std::atomic<int64_t> currentSeed{-1};
std::atomic<int> requestedThreads{0};

}  // namespace

void requestRunSeed(int64_t seed) { requestedSeed.store(seed < 0 ? -1 : seed); }

int64_t currentRunSeed() { return currentSeed.load(); }

int64_t startRunSeed() {
    const int64_t requested = requestedSeed.load();
    const int64_t seed = requested >= 0 ? requested : static_cast<int64_t>(std::time(nullptr));
    currentSeed.store(seed);
    logLine("Random seed of the surrogates: " + std::to_string(seed));
    return seed;
}

void requestThreadCount(int count) { requestedThreads.store(count > 0 ? count : 0); }

int requestedThreadCount() { return requestedThreads.load(); }

}  // namespace ldi
