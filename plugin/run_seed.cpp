#include "plugin/run_seed.h"

#include <string>

#include "base/log_pane.h"
#include "stats/random.h"

namespace {

int64_t requested = -1;
int64_t current = -1;

}  // namespace

void requestRunSeed(int64_t seed) { requested = seed < 0 ? -1 : seed; }

int64_t currentRunSeed() { return current; }

RunSeedScope::RunSeedScope() {
    wasPinned_ = calendarClockPinned(pinnedBefore_);
    current = requested >= 0 ? requested : calendarSeconds();
    pinCalendarClock(current);
    logLine("Random seed of the surrogates: " + std::to_string(current));
}

RunSeedScope::~RunSeedScope() {
    if (wasPinned_)
        pinCalendarClock(pinnedBefore_);
    else
        unpinCalendarClock();
}
