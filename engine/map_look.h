// How each map kind is shown: its display name, its display thresholds (from
// the FDR thresholds) and its colours. Every front end that keeps maps for a
// viewer labels them the same way.
#pragma once

#include <cstdint>
#include <string>

#include "config/global_parameters.h"

namespace ldi {

struct MapThresholds;

struct MapLook {
    const char* nameFormat;  // printf format, %s the condition's name
    float upperFactor;       // upper display threshold = factor * first FDR threshold
    int32_t positiveLow, positiveHigh, negativeLow, negativeHigh;
};

// False for a value outside the enumeration.
bool mapLook(MapType type, MapLook& look);

// "<condition>: Ref2Vox" and so on; "" for an unknown kind.
std::string mapDisplayName(MapType type, const std::string& conditionName);

// The display thresholds of a finished map: those of dLDI RC are fixed; the
// others follow the FDR threshold of the strictest (smallest) q value.
void mapDisplayThresholds(const MapThresholds& map, const GlobalParameters& parameters, float& lower, float& upper);

}  // namespace ldi
