#include "maps/map_assembly.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <ostream>
#include <string>

#include "plugin/analysis_context.h"
#include "plugin/host_api.h"
#include "plugin/run_control.h"
#include "setup/analysis_setup.h"
#include "stats/matrix.h"
#include "stats/sorting.h"

namespace {

// Absolute values of the present (nonzero, finite) values, ascending.
std::vector<float> presentMagnitudes(const float* values, std::size_t count) {
    std::vector<float> magnitudes;
    magnitudes.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const float v = values[i];
        if (v != 0.0f && std::isfinite(v)) magnitudes.push_back(std::fabs(v));
    }
    // Magnitudes are positive and finite, so the radix sort orders them exactly
    // as std::sort would, in a few passes instead of n log n comparisons.
    sortAscending(magnitudes);
    return magnitudes;
}

}  // namespace

bool findFdrThresholds(const std::vector<float>& qValues, const float* map, std::size_t mapCount,
                       const float* nullMap, std::size_t nullCount, int32_t cV, std::vector<float>& thresholds,
                       std::ostream& errorStream) {
    if (cV != 1 && cV != 2) errorStream << "Unknown value for cVconst: " << cV << " , only 1 or 2 allowed";

    const std::vector<float> a = presentMagnitudes(map, mapCount);
    const std::size_t n = a.size();
    if (n == 0) return false;
    const std::vector<float> b = presentMagnitudes(nullMap, nullCount);
    const std::size_t m = b.size();

    const float c = cV == 1 ? 1.0f : std::log(static_cast<float>(n)) + 0.5772f;

    // Walk the q values in ascending order, but keep each result in the slot
    // of its own q value so that slot labels and values agree for any order.
    if (thresholds.size() < qValues.size()) thresholds.resize(qValues.size(), 0.0f);
    std::vector<std::size_t> order(qValues.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&qValues](std::size_t x, std::size_t y) { return qValues[x] < qValues[y]; });
    std::vector<bool> open(qValues.size(), true);
    std::size_t openCount = qValues.size();

    std::size_t j = m > 0 ? m - 1 : 0;  // only moves down during the whole walk
    for (std::size_t i = n; i-- > 0 && openCount > 0;) {
        float p = 1.0f;  // no null distribution: nothing can be told apart from it
        if (m > 0) {
            while (b[j] > a[i] && j > 0) --j;
            p = static_cast<float>(m - 1 - j) / static_cast<float>(m);
        }
        const float rankFraction = static_cast<float>(n - i) / static_cast<float>(n);
        for (std::size_t t : order) {
            if (!open[t]) continue;
            if (p > rankFraction * (qValues[t] / c)) {
                thresholds[t] = i < n - 1 ? a[i + 1] : a[n - 1];
                open[t] = false;
                --openCount;
            }
        }
    }
    return true;
}

bool findFdrThresholds(const std::vector<float>& qValues, const FloatVolume& map, const FloatVolume& nullMap,
                       int32_t cV, std::vector<float>& thresholds, std::ostream& errorStream) {
    return findFdrThresholds(qValues, map.data(), map.size(), nullMap.data(), nullMap.size(), cV, thresholds,
                             errorStream);
}

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

// The map values of one kind, straight into the host's buffer `out`, and the
// matching null values into `nullOut` (not for DLDI_RC, which has no null).
// Every value is one float32 expression per voxel, the same operations in the
// same order as the whole-volume formulation (difference, mask, scale).
void computeMapValues(MapType type, const MeasureVolumes& real, const MeasureVolumes& null,
                      const GlobalParameters& parameters, float* out, float* nullOut, std::size_t count) {
    const float scale = parameters.mapScaleFactor;
    const float instThreshold = parameters.dldiITInstLowerThres;
    const float* r2v = real.ref2vox.data();
    const float* v2r = real.vox2ref.data();
    const float* inst = real.inst.data();
    const float* nr2v = null.ref2vox.data();
    const float* nv2r = null.vox2ref.data();
    const float* ninst = null.inst.data();
    switch (type) {
    case REF2VOX:
        for (std::size_t i = 0; i < count; ++i) out[i] = r2v[i] * scale;
        for (std::size_t i = 0; i < count; ++i) nullOut[i] = nr2v[i] * scale;
        break;
    case VOX2REF:
        for (std::size_t i = 0; i < count; ++i) out[i] = v2r[i] * scale;
        for (std::size_t i = 0; i < count; ++i) nullOut[i] = nv2r[i] * scale;
        break;
    case INST:
        for (std::size_t i = 0; i < count; ++i) out[i] = inst[i] * scale;
        for (std::size_t i = 0; i < count; ++i) nullOut[i] = ninst[i] * scale;
        break;
    case DLDI:
        for (std::size_t i = 0; i < count; ++i) out[i] = (r2v[i] - v2r[i]) * scale;
        for (std::size_t i = 0; i < count; ++i) nullOut[i] = (nr2v[i] - nv2r[i]) * scale;
        break;
    case DLDI_IT:
        // An instantaneous influence equal to the threshold keeps the voxel.
        for (std::size_t i = 0; i < count; ++i) {
            const float d = instThreshold > inst[i] ? 0.0f : r2v[i] - v2r[i];
            out[i] = d * scale;
        }
        for (std::size_t i = 0; i < count; ++i) {
            const float d = instThreshold > ninst[i] ? 0.0f : nr2v[i] - nv2r[i];
            nullOut[i] = d * scale;
        }
        break;
    case DLDI_RC: {
        const float upper = parameters.dldiRCUpperThres;
        for (std::size_t i = 0; i < count; ++i) {
            const float d = instThreshold > inst[i] ? 0.0f : r2v[i] - v2r[i];
            const float s = std::fabs(d) + inst[i];
            float ratio = s != 0.0f ? d / s : 0.0f;
            // A vanishing but nonzero denominator must not put an infinity on the map.
            if (!std::isfinite(ratio) || ratio > upper) ratio = 0.0f;
            out[i] = ratio;
        }
        break;
    }
    }
}

}  // namespace

void formatMapName(MapType type, const std::string& conditionName, char* buffer, std::size_t capacity) {
    MapLook look{};
    if (!mapLook(type, look) || capacity == 0) return;
    // snprintf cuts at the buffer's end and always terminates.
    std::snprintf(buffer, capacity, look.nameFormat, conditionName.c_str());
}

int assembleMaps(AnalysisContext& context, const SelectedVoi& voi, const Condition& condition,
                 int32_t conditionIndex, const AnalysisSetup& setup, std::ostream& errorStream) {
    const GlobalParameters& parameters = setup.parameters;
    if (!context.realMeasures || !context.nullMeasures) {
        errorStream << "No measure volumes to assemble the maps of VOI '" << voi.name << "', Condition '"
                    << condition.name << "' from (internal error)";
        return statusTerminalError;
    }
    const MeasureVolumes& real = *context.realMeasures;
    const MeasureVolumes& null = *context.nullMeasures;
    const std::size_t count = real.ref2vox.size();
    if (count != static_cast<std::size_t>(setup.dimX) * static_cast<std::size_t>(setup.dimY) *
                     static_cast<std::size_t>(setup.dimZ)) {
        errorStream << "The measure volumes do not match the grid of the maps of VOI '" << voi.name
                    << "', Condition '" << condition.name << "' (internal error)";
        return statusTerminalError;
    }

    const std::vector<float>& qValues = parameters.qThresholdsForFDR;
    // The display threshold follows the strictest (smallest) q value.
    const std::size_t strictest = static_cast<std::size_t>(
        std::min_element(qValues.begin(), qValues.end()) - qValues.begin());
    const int32_t kinds = static_cast<int32_t>(parameters.mapTypesComputed.size());
    FloatVolume nullValues(setup.dimZ, setup.dimY, setup.dimX);
    std::vector<float> thresholds(qValues.size(), 0.0f);

    int32_t k = 0;
    for (MapType type : parameters.mapTypesComputed) {
        const int32_t mapIndex = kinds * conditionIndex + k;
        ++k;
        SyMapHeader header{};
        float* buffer = hostApi.syGetNRVMPOfCurrentVMR(mapIndex, &header);
        if (buffer == nullptr) {
            errorStream << "Failed to retrieve an allocated CMP map-pointer for VOI '" << voi.name
                        << "', Condition '" << condition.name << "'";
            return statusTerminalError;
        }
        MapLook look{};
        if (!mapLook(type, look)) {
            errorStream << "ERROR : Unknown LDI map-type encountered";
            return statusTerminalError;
        }
        FloatVolume mapValues = FloatVolume::view(buffer, setup.dimZ, setup.dimY, setup.dimX);
        computeMapValues(type, real, null, parameters, mapValues.data(), nullValues.data(), count);

        if (type == DLDI_RC) {
            header.lowerThreshold = 0.2f;
            header.upperThreshold = parameters.dldiRCUpperThres;
        } else {
            std::fill(thresholds.begin(), thresholds.end(), 0.0f);
            findFdrThresholds(qValues, mapValues, nullValues, parameters.cvConstantForFDR, thresholds,
                              errorStream);
            if (header.fdrThresholds != nullptr) {
                const std::size_t slots =
                    std::min(thresholds.size(), static_cast<std::size_t>(std::max(0, header.fdrThresholdCount)));
                for (std::size_t t = 0; t < slots; ++t) header.fdrThresholds[t] = thresholds[t];
            }
            const float first = thresholds.empty() ? 0.0f : thresholds[strictest];
            header.lowerThreshold = first;
            header.upperThreshold = look.upperFactor * first;
        }
        formatMapName(type, condition.name, header.name, SY_MAP_NAME_CAPACITY);
        header.mapKind = 101;
        header.positiveColourLow = look.positiveLow;
        header.positiveColourHigh = look.positiveHigh;
        header.negativeColourLow = look.negativeLow;
        header.negativeColourHigh = look.negativeHigh;
        header.useNegativeColours = 1;
        hostApi.sySetNRVMPParametersOfCurrentVMR(mapIndex, &header);
    }
    return statusSuccess;
}
