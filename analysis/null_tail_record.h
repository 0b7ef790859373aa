// The fitted tail of a map's permutation null as its sidecar records it.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace ldi {

struct NullTailRecord;

// "NullTail": whether a generalized Pareto fit was accepted, its exceedances,
// threshold, scale, shape and Anderson-Darling statistic, the floor of the
// empirical p and the lowest p the fit may give, how many voxels lay beyond
// every null value and how many of those the bound held; and in words what
// those voxels got (the floor, when no fit was accepted).
nlohmann::ordered_json nullTailJson(const NullTailRecord& tail);

// The same in one sentence for a report: "" where no fit was tried.
std::string nullTailText(const NullTailRecord& tail);

}  // namespace ldi
