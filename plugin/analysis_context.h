// The working record of one analysis: the open VTC files (each also as a
// source of the engine), the reference time courses and the engine's work
// objects. It starts empty; the preparation step fills it; the tear-down
// releases it on every exit of the run.
//
// Every member owns what it holds. The VTC files and reference records are
// held through unique_ptr so that links into them (VtcEntry::sourceVtc and
// targetVtc, records found by findVoiTimeCourse, the engine's sources) stay
// valid while the lists grow.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "data/voi_time_course.h"
#include "data/vtc_file.h"
#include "engine/engine_input.h"
#include "engine/slice_source.h"

namespace ldi {

struct AnalysisContext {
    std::vector<std::unique_ptr<VtcFile>> vtcFiles;              // one per distinct path, opening order
    std::vector<std::unique_ptr<VtcSliceSource>> sources;        // vtcFiles[i] as a source
    std::vector<std::unique_ptr<VoiTimeCourse>> voiTimeCourses;  // creation order
    // Coordinate scratch of the reference time courses: 3 * coordinateCapacity int32.
    std::vector<int32_t> coordinateScratch;
    int32_t coordinateCapacity = 0;  // in (x, y, z) triples
    // The run's seed and how it runs, set when the run starts; every step's
    // engine input carries them (engineInputOf).
    uint32_t rngSeed = 0;
    EngineOptions options;
    EngineWork work;

    AnalysisContext() = default;
    ~AnalysisContext();
    AnalysisContext(const AnalysisContext&) = delete;
    AnalysisContext& operator=(const AnalysisContext&) = delete;
};

// Releases everything the context holds, in this order: the measure volumes,
// the reference records, the VTC files (closing them), the coordinate scratch
// (capacity 0), then the engine's work objects, last its helper threads
// (stopped and joined). Members never created are skipped, so it is safe
// after a failure at any point and safe to call twice. The host's maps are not
// touched: deleting them is the caller's part of the tear-down. VtcEntry links
// into the released files dangle afterwards.
void releaseAnalysisContext(AnalysisContext& context);

}  // namespace ldi
