#include "engine/map_values.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <memory>
#include <numeric>
#include <ostream>
#include <string>

#include "engine/engine_input.h"
#include "stats/large_buffer.h"
#include "stats/matrix.h"
#include "stats/parallel.h"
#include "stats/sorting.h"

namespace ldi {

namespace {

// Writes the absolute values of the present (nonzero, finite) values of
// values[0..count) to out, in their order; returns how many. Branch-free, since
// about half of a map's voxels are zero and the test would mispredict.
std::size_t collectMagnitudes(const float* values, std::size_t count, float* out) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const float v = values[i];
        out[kept] = std::fabs(v);
        kept += (v != 0.0f && std::isfinite(v)) ? 1 : 0;
    }
    return kept;
}

// Present magnitudes of a whole array, ascending. Magnitudes are positive and
// finite, so the radix sort orders them exactly as std::sort would, in a few
// passes instead of n log n comparisons.
std::vector<float> presentMagnitudes(const float* values, std::size_t count) {
    std::vector<float> magnitudes(count);
    magnitudes.resize(collectMagnitudes(values, count, magnitudes.data()));
    sortAscending(magnitudes);
    return magnitudes;
}

// The walk of the search over the sorted magnitudes a[0..n) of the map (n > 0)
// and b[0..m) of its null values.
void walkFdrThresholds(const std::vector<float>& qValues, const float* a, std::size_t n, const float* b,
                       std::size_t m, int32_t cV, std::vector<float>& thresholds, std::vector<int64_t>* passing) {
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
    // A threshold equal to the largest value means "only the top passes" as
    // well as "nothing passes"; the count says which.
    if (passing != nullptr) passing->assign(qValues.size(), static_cast<int64_t>(n));

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
                if (passing != nullptr) (*passing)[t] = static_cast<int64_t>(n - 1 - i);
                open[t] = false;
                --openCount;
            }
        }
    }
}

}  // namespace

bool findFdrThresholds(const std::vector<float>& qValues, const float* map, std::size_t mapCount,
                       const float* nullMap, std::size_t nullCount, int32_t cV, std::vector<float>& thresholds,
                       std::ostream& errorStream, std::vector<int64_t>* passing) {
    reportUnknownConstant(cV, errorStream);
    if (passing != nullptr) passing->assign(qValues.size(), 0);
    const std::vector<float> a = presentMagnitudes(map, mapCount);
    if (a.empty()) return false;
    const std::vector<float> b = presentMagnitudes(nullMap, nullCount);
    walkFdrThresholds(qValues, a.data(), a.size(), b.data(), b.size(), cV, thresholds, passing);
    return true;
}

bool findFdrThresholds(const std::vector<float>& qValues, const FloatVolume& map, const FloatVolume& nullMap,
                       int32_t cV, std::vector<float>& thresholds, std::ostream& errorStream,
                       std::vector<int64_t>* passing) {
    return findFdrThresholds(qValues, map.data(), map.size(), nullMap.data(), nullMap.size(), cV, thresholds,
                             errorStream, passing);
}

void reportUnknownConstant(int32_t cV, std::ostream& errorStream) {
    if (cV != 1 && cV != 2) errorStream << "Unknown value for cVconst: " << cV << " , only 1 or 2 allowed";
}

bool hasFdrThresholds(MapType type) {
    switch (type) {
    case REF2VOX:
    case VOX2REF:
    case INST:
    case DLDI:
    case DLDI_IT: return true;
    case DLDI_RC: return false;
    }
    return false;
}

namespace {

// The values of one map kind for voxels [begin, end) of the measure volumes
// `measures` (the real ones for the map, the surrogate ones for its null
// values), into out[0 .. end - begin). Every value is one float32 expression per
// voxel, the same operations in the same order as the whole-volume formulation
// (difference, mask, scale).
void computeMapValues(MapType type, const MeasureVolumes& measures, const GlobalParameters& parameters,
                      std::size_t begin, std::size_t end, float* out) {
    const float scale = parameters.mapScaleFactor;
    const float instThreshold = parameters.dldiITInstLowerThres;
    const float* r2v = measures.ref2vox.data() + begin;
    const float* v2r = measures.vox2ref.data() + begin;
    const float* inst = measures.inst.data() + begin;
    const std::size_t count = end - begin;
    switch (type) {
    case REF2VOX:
        for (std::size_t i = 0; i < count; ++i) out[i] = r2v[i] * scale;
        break;
    case VOX2REF:
        for (std::size_t i = 0; i < count; ++i) out[i] = v2r[i] * scale;
        break;
    case INST:
        for (std::size_t i = 0; i < count; ++i) out[i] = inst[i] * scale;
        break;
    case DLDI:
        for (std::size_t i = 0; i < count; ++i) out[i] = (r2v[i] - v2r[i]) * scale;
        break;
    case DLDI_IT:
        // An instantaneous influence equal to the threshold keeps the voxel.
        for (std::size_t i = 0; i < count; ++i) {
            const float d = instThreshold > inst[i] ? 0.0f : r2v[i] - v2r[i];
            out[i] = d * scale;
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

// The FDR search of one map kind: the sorted magnitudes of its map and of its
// null values, each found by one task, then the walk by whichever task finishes
// second.
struct FdrSearch {
    MapType type = REF2VOX;
    float* magnitudes[2] = {nullptr, nullptr};  // map, null
    std::size_t counts[2] = {0, 0};
    std::atomic<int> sorted{0};
    std::vector<float> thresholds;
    std::vector<int64_t> passing;
};

// Every map kind's FDR search, on the computation's threads. The searches are
// independent and each is done exactly as alone, so the thresholds do not depend
// on the number of threads. Host calls stay on the calling thread (afterwards).
void runFdrSearches(std::vector<std::unique_ptr<FdrSearch>>& searches, const MeasureVolumes& real,
                    const MeasureVolumes& null, const GlobalParameters& parameters, WorkerTeam* team,
                    int requestedThreads) {
    const std::size_t count = real.ref2vox.size();
    const std::vector<float>& qValues = parameters.qThresholdsForFDR;
    const int64_t tasks = static_cast<int64_t>(searches.size()) * 2;
    if (tasks == 0) return;
    const int threads = team != nullptr ? team->size() : threadCountFor(requestedThreads);
    const int wanted = static_cast<int>(std::max<int64_t>(1, std::min<int64_t>(threads, tasks)));
    // One block for every magnitude list and every worker's sorting room.
    const std::size_t lists = static_cast<std::size_t>(tasks) + static_cast<std::size_t>(wanted);
    LargeArray<float> block = makeLargeArray<float>(lists * count);
    for (std::size_t s = 0; s < searches.size(); ++s)
        for (int side = 0; side < 2; ++side) searches[s]->magnitudes[side] = block.get() + (2 * s + side) * count;

    shareWork(wanted, tasks, 1, [&](int64_t task, int64_t, int worker) {
        constexpr std::size_t kChunk = 2048;  // values formed at a time, kept in L1
        float chunk[kChunk];
        float* scratch = block.get() + (static_cast<std::size_t>(tasks) + static_cast<std::size_t>(worker)) * count;
        FdrSearch& search = *searches[static_cast<std::size_t>(task / 2)];
        const int side = static_cast<int>(task % 2);
        float* magnitudes = search.magnitudes[side];
        std::size_t kept = 0;
        for (std::size_t begin = 0; begin < count; begin += kChunk) {
            const std::size_t end = std::min(count, begin + kChunk);
            computeMapValues(search.type, side == 0 ? real : null, parameters, begin, end, chunk);
            kept += collectMagnitudes(chunk, end - begin, magnitudes + kept);
        }
        search.counts[side] = kept;
        sortAscending(magnitudes, kept, scratch);
        // The second task to finish sees the first one's magnitudes.
        if (search.sorted.fetch_add(1, std::memory_order_acq_rel) == 1) {
            search.thresholds.assign(qValues.size(), 0.0f);
            search.passing.assign(qValues.size(), 0);
            if (search.counts[0] > 0)
                walkFdrThresholds(qValues, search.magnitudes[0], search.counts[0], search.magnitudes[1],
                                  search.counts[1], parameters.cvConstantForFDR, search.thresholds, &search.passing);
        }
    }, team);
}

}  // namespace

void fillMapValues(MapType type, const MeasureVolumes& real, const GlobalParameters& parameters, float* out,
                   WorkerTeam* team) {
    const std::size_t count = real.ref2vox.size();
    constexpr std::size_t kSmallestBlock = 64;
    const std::size_t workers = team != nullptr ? static_cast<std::size_t>(team->size()) : 1;
    if (workers < 2 || count < 2 * kSmallestBlock) {
        computeMapValues(type, real, parameters, 0, count, out);
        return;
    }
    // Each value is computed alone, so the split cannot change it.
    const std::size_t block = std::max(kSmallestBlock, (count + 4 * workers - 1) / (4 * workers));
    shareWork(static_cast<int>(workers), static_cast<int64_t>(count), static_cast<int64_t>(block),
              [&](int64_t begin, int64_t end, int) {
                  computeMapValues(type, real, parameters, static_cast<std::size_t>(begin),
                                   static_cast<std::size_t>(end), out + begin);
              },
              team);
}

std::vector<MapThresholds> findMapThresholds(const MeasureVolumes& real, const MeasureVolumes& null,
                                             const GlobalParameters& parameters, WorkerTeam* team, int threads) {
    std::vector<MapThresholds> maps;
    std::vector<std::unique_ptr<FdrSearch>> searches;
    for (MapType type : parameters.mapTypesComputed) {
        MapThresholds map;
        map.type = type;
        map.searched = hasFdrThresholds(type);
        maps.push_back(map);
        if (!map.searched) continue;
        searches.push_back(std::make_unique<FdrSearch>());
        searches.back()->type = type;
    }
    runFdrSearches(searches, real, null, parameters, team, threads);
    std::size_t next = 0;
    for (MapThresholds& map : maps)
        if (map.searched) {
            map.passing = std::move(searches[next]->passing);
            map.thresholds = std::move(searches[next++]->thresholds);
        }
    return maps;
}

}  // namespace ldi
