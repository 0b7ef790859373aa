#include "output/map_output.h"

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <vector>

#include "base/status.h"
#include "base/text.h"
#include "engine/engine.h"

namespace {

struct MapLook {
    const char* nameFormat;
    float upperFactor;  // upper display threshold = factor * first FDR threshold
    int32_t positiveLow, positiveHigh, negativeLow, negativeHigh;
};

bool mapLook(MapType type, MapLook& look) {
    switch (type) {
    case REF2VOX: look = {"%s: Ref2Vox", 3.0f, 0x40, 0xFF, 0, 0}; return true;
    case VOX2REF: look = {"%s: Vox2Ref", 3.0f, 0x4000, 0xFF00, 0, 0}; return true;
    case INST: look = {"%s: Inst", 5.0f, 0x400000, 0xFF0000, 0, 0}; return true;
    case DLDI: look = {"%s: dLDI", 3.0f, 0x40, 0xFF, 0x4000, 0xFF00}; return true;
    case DLDI_IT: look = {"%s: dLDI IT", 3.0f, 0x40, 0xFF, 0x4000, 0xFF00}; return true;
    case DLDI_RC: look = {"%s: dLDI RC", 0.0f, 0x40, 0xFF, 0x4000, 0xFF00}; return true;
    }
    return false;
}

}  // namespace

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
    if (!map.searched) {
        header.lowerThreshold = 0.2f;
        header.upperThreshold = parameters.dldiRCUpperThres;
    } else {
        const std::vector<float>& thresholds = map.thresholds;
        if (header.fdrThresholds != nullptr) {
            const std::size_t slots =
                std::min(thresholds.size(), static_cast<std::size_t>(std::max(0, header.fdrThresholdCount)));
            for (std::size_t t = 0; t < slots; ++t) header.fdrThresholds[t] = thresholds[t];
        }
        // The display threshold follows the strictest (smallest) q value.
        const std::vector<float>& qValues = parameters.qThresholdsForFDR;
        const auto strictest = static_cast<std::size_t>(std::min_element(qValues.begin(), qValues.end()) -
                                                        qValues.begin());
        const float first = strictest < thresholds.size() ? thresholds[strictest] : 0.0f;
        header.lowerThreshold = first;
        header.upperThreshold = look.upperFactor * first;
    }
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
