#include "engine/map_look.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "engine/engine_input.h"

namespace ldi {

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

std::string mapDisplayName(MapType type, const std::string& conditionName) {
    MapLook look{};
    if (!mapLook(type, look)) return std::string();
    const int length = std::snprintf(nullptr, 0, look.nameFormat, conditionName.c_str());
    std::vector<char> buffer(static_cast<std::size_t>(std::max(length, 0)) + 1);
    std::snprintf(buffer.data(), buffer.size(), look.nameFormat, conditionName.c_str());
    return std::string(buffer.data());
}

void mapDisplayThresholds(const MapThresholds& map, const GlobalParameters& parameters, float& lower, float& upper) {
    MapLook look{};
    mapLook(map.type, look);
    if (!map.searched) {
        lower = 0.2f;
        upper = parameters.dldiRCUpperThres;
        return;
    }
    const std::vector<float>& qValues = parameters.qThresholdsForFDR;
    const auto strictest =
        static_cast<std::size_t>(std::min_element(qValues.begin(), qValues.end()) - qValues.begin());
    const float first = strictest < map.thresholds.size() ? map.thresholds[strictest] : 0.0f;
    lower = first;
    upper = look.upperFactor * first;
}

}  // namespace ldi
