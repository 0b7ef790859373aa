// The maps of a condition as the host keeps them: each map's buffer in the
// host's map set, and its header (name, display thresholds, colours, FDR
// thresholds) once its values are written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>

#include "base/host_api.h"
#include "config/global_parameters.h"

namespace ldi {

struct MapThresholds;

// The display name of a map, "<condition>: Ref2Vox" and so on, cut to what
// the host's name buffer holds.
void formatMapName(MapType type, const std::string& conditionName, char* buffer, std::size_t capacity);

// Host map `mapIndex` of the current map set: its buffer, with its header in
// `header`. Null, after a message naming the VOI and the condition, when the
// host hands out no buffer.
float* hostMapBuffer(int32_t mapIndex, SyMapHeader& header, const std::string& voiName,
                     const std::string& conditionName, std::ostream& errorStream);

// Completes the header of a map whose values are in its buffer and hands it to
// the host: name, display thresholds (from the thresholds of the strictest q
// value), colours and FDR thresholds. Returns 1, or 3 for an unknown map kind.
int setHostMapHeader(int32_t mapIndex, SyMapHeader& header, const MapThresholds& map,
                     const std::string& conditionName, const GlobalParameters& parameters,
                     std::ostream& errorStream);

}  // namespace ldi
