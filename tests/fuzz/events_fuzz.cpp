// Any byte sequence as a BIDS events.tsv: events with finite times and a
// type that is UTF-8 text, or a message naming the file; the accepted events then become volume
// intervals for any repetition time and shift, promptly and in order.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/names.h"
#include "formats/bids_inputs.h"
#include "fuzz_check.h"
#include "fuzz_file.h"

using namespace ldi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static FuzzFile file("task_events.tsv");
    std::vector<Event> events;
    std::string problem;
    if (!readEventsFile(file.write(data, size), "all", events, problem)) {
        FUZZ_CHECK(problem.find(file.path()) != std::string::npos);
        return 0;
    }
    for (const Event& event : events) {
        FUZZ_CHECK(std::isfinite(event.onset) && std::isfinite(event.duration));
        FUZZ_CHECK(event.line >= 2);
        // A trial type names maps and goes into reports and JSON: UTF-8 text, short, or none at all.
        FUZZ_CHECK(event.type.empty() || nameProblem(event.type, MAX_TRIAL_TYPE_BYTES).empty());
    }
    // Times from the input's first bytes: any double, NaN and infinities too.
    double tr = 2.0, shift = 0.0;
    if (size >= 16) {
        std::memcpy(&tr, data, 8);
        std::memcpy(&shift, data + 8, 8);
    }
    const int32_t volumes = 200;
    if (!checkEventTimes(events, file.path(), tr, shift, volumes, problem)) {
        FUZZ_CHECK(!problem.empty());
        return 0;
    }
    for (const Event& event : events) {
        const EventIntervals found = eventIntervals(events, event.type, tr, shift, volumes, 0, 1);
        int32_t last = 0;
        for (const Interval& interval : found.intervals) {
            FUZZ_CHECK(interval.first >= 1 && interval.first <= interval.last && interval.last <= volumes);
            FUZZ_CHECK(interval.first > last);
            last = interval.last;
        }
    }
    return 0;
}
