// What ldi map takes from a BIDS-like folder: the entities of a file name,
// the repetition time of a run's JSON sidecar, and the events of a run as
// intervals of volumes.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "data/interval.h"

namespace ldi {

// The key-value entities of a BIDS file name before its suffix, in order
// ("sub-01_task-rest_run-2_bold.nii.gz" gives sub 01, task rest, run 2).
using Entities = std::vector<std::pair<std::string, std::string>>;
Entities fileEntities(const std::string& path);

// The value of entity `key` in the file name, or "".
std::string entityValue(const std::string& path, const std::string& key);

// A name made safe for a file name and a BIDS label: letters and digits only
// ("go-left" gives "goleft"); "x" when nothing is left.
std::string safeLabel(const std::string& name);

// The path of the run's JSON sidecar (the image's name with .json).
std::string sidecarPath(const std::string& imagePath);

// RepetitionTime of the sidecar: false with a message when the sidecar exists
// but cannot be read or holds no positive number there; `found` tells whether
// it gave one.
bool sidecarRepetitionTime(const std::string& imagePath, double& seconds, bool& found, std::string& problem);

// A JSON sidecar as an object: false with a message naming the file when it
// is no regular file, not UTF-8 or not a JSON object.
bool readJsonSidecar(const std::string& path, nlohmann::json& document, std::string& problem);

struct Event {
    double onset = 0.0;
    double duration = 0.0;
    std::string type;
    int32_t line = 0;  // in its events file, for messages
};

// A trial_type becomes part of file names: longer ones are refused as the
// file is read, before anything is computed.
constexpr std::size_t MAX_TRIAL_TYPE_BYTES = 100;

// The condition of a run whose events have no trial_type (or that has no
// events at all): the task label of the run's file name, else "all".
std::string taskConditionName(const std::string& runPath);

// A BIDS events file: tab-separated, a header naming at least onset and
// duration. trial_type is optional: without it every event is of type
// `untypedCondition`. False with a message naming the file and line (and
// the separator, when the file is comma-separated).
bool readEventsFile(const std::string& path, const std::string& untypedCondition, std::vector<Event>& events,
                    std::string& problem);

// Every event of a run placed in time: false with a message naming the file
// and line for an event whose onset or end lies more than the run's own length
// before its first or after its last volume (a time in another unit, a typing
// error), or for a repetition time or shift that is not a finite number.
// Events a little beyond the end stay (a cut run), they cover no volume.
bool checkEventTimes(const std::vector<Event>& events, const std::string& path, double tr, double shift,
                     int64_t volumes, std::string& problem);

struct EventIntervals {
    std::vector<Interval> intervals;  // 1-based volumes, both ends included, merged, in order
    int32_t tooShort = 0;             // intervals left out for being no longer than the model order
};

// The volumes of the events of type `type`: volume i (from 0) at time
// i * tr + shift belongs to an event when that time lies in [onset, onset +
// duration). Volumes before `skip` are dropped; overlapping and touching
// events merge into one interval.
EventIntervals eventIntervals(const std::vector<Event>& events, const std::string& type, double tr, double shift,
                              int32_t volumes, int32_t skip, int32_t order);

}  // namespace ldi
