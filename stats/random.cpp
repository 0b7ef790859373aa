#include "stats/random.h"

#include <ctime>

namespace {

RandomState generator;

bool clockPinned = false;
int64_t pinnedSeconds = 0;

}  // namespace

RandomState& processRandom() { return generator; }

int64_t calendarSeconds() {
    if (clockPinned) return pinnedSeconds;
    return static_cast<int64_t>(std::time(nullptr));
}

void pinCalendarClock(int64_t seconds) {
    clockPinned = true;
    pinnedSeconds = seconds;
}

void unpinCalendarClock() { clockPinned = false; }

bool calendarClockPinned(int64_t& seconds) {
    seconds = pinnedSeconds;
    return clockPinned;
}
