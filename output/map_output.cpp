#include "output/map_output.h"

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <vector>

#include "base/status.h"
#include "base/text.h"
#include "engine/engine_input.h"
#include "engine/map_look.h"

namespace ldi {

void formatMapName(MapType type, const std::string& conditionName, char* buffer, std::size_t capacity) {
    MapLook look{};
    if (!mapLook(type, look) || capacity == 0) return;
    // A name too long for the buffer loses the end of its condition part, not
    // the map kind, so that the maps of a condition keep distinct names.
    const std::string kind = formatText(look.nameFormat, "");
    std::string condition = conditionName;
    if (condition.size() + kind.size() + 1 > capacity)
        condition = utf8Prefix(condition, capacity > kind.size() + 1 ? capacity - kind.size() - 1 : 0);
    // snprintf cuts at the buffer's end and always terminates.
    std::snprintf(buffer, capacity, look.nameFormat, condition.c_str());
}

float* hostMapBuffer(int32_t mapIndex, SyMapHeader& header, const std::string& voiName,
                     const std::string& conditionName, std::ostream& errorStream) {
    header = SyMapHeader{};
    float* buffer = hostApi.syGetNRVMPOfCurrentVMR(mapIndex, &header);
    if (buffer == nullptr) {
        errorStream << "Failed to retrieve an allocated CMP map-pointer for VOI '" << voiName << "', Condition '"
                    << conditionName << "'";
    }
    return buffer;
}

int setHostMapHeader(int32_t mapIndex, SyMapHeader& header, const MapThresholds& map,
                     const std::string& conditionName, const GlobalParameters& parameters,
                     std::ostream& errorStream) {
    MapLook look{};
    if (!mapLook(map.type, look)) {
        errorStream << "ERROR : Unknown LDI map-type encountered";
        return statusTerminalError;
    }
    if (map.searched && header.fdrThresholds != nullptr) {
        const std::vector<float>& thresholds = map.thresholds;
        const std::size_t slots =
            std::min(thresholds.size(), static_cast<std::size_t>(std::max(0, header.fdrThresholdCount)));
        for (std::size_t t = 0; t < slots; ++t) header.fdrThresholds[t] = thresholds[t];
    }
    mapDisplayThresholds(map, parameters, header.lowerThreshold, header.upperThreshold);
    formatMapName(map.type, conditionName, header.name, SY_MAP_NAME_CAPACITY);
    header.mapKind = 101;
    header.positiveColourLow = look.positiveLow;
    header.positiveColourHigh = look.positiveHigh;
    header.negativeColourLow = look.negativeLow;
    header.negativeColourHigh = look.negativeHigh;
    header.useNegativeColours = 1;
    hostApi.sySetNRVMPParametersOfCurrentVMR(mapIndex, &header);
    return statusSuccess;
}

}  // namespace ldi
