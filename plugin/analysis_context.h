// The working record of one computation: the open VTC files, the reference
// time courses, the two sets of measure volumes and the statistics work
// objects. It starts empty; the preparation step fills it; the tear-down
// releases it on every exit of the run.
//
// Every member owns what it holds. The VTC files and reference records are
// held through unique_ptr so that links into them (VtcEntry::sourceVtc and
// targetVtc, records found by findVoiTimeCourse) stay valid while the lists
// grow; the volumes and work objects are unique_ptr so that "not created yet"
// is visible and the tear-down after a failure skips them.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "data/voi_time_course.h"
#include "data/vtc_file.h"
#include "stats/ar_model.h"
#include "stats/matrix.h"
#include "stats/parallel.h"

struct AnalysisContext {
    std::vector<std::unique_ptr<VtcFile>> vtcFiles;              // one per distinct path, opening order
    std::vector<std::unique_ptr<VoiTimeCourse>> voiTimeCourses;  // creation order
    std::unique_ptr<MeasureVolumes> realMeasures;
    std::unique_ptr<MeasureVolumes> nullMeasures;
    std::unique_ptr<CovarianceAccumulator> realAccumulator;  // 2 series
    std::unique_ptr<CovarianceAccumulator> nullAccumulator;  // 2 series
    std::unique_ptr<ArModelWorkspace> jointModel;            // 2 series
    std::unique_ptr<ArModelWorkspace> referenceModel;        // 1 series
    std::unique_ptr<ArModelWorkspace> voxelModel;            // 1 series
    // Coordinate scratch of the reference time courses: 3 * coordinateCapacity int32.
    std::vector<int32_t> coordinateScratch;
    int32_t coordinateCapacity = 0;  // in (x, y, z) triples
    // The helper threads of the run's parallel steps (none: each step starts its own).
    std::unique_ptr<WorkerTeam> workers;

    AnalysisContext() = default;
    ~AnalysisContext();
    AnalysisContext(const AnalysisContext&) = delete;
    AnalysisContext& operator=(const AnalysisContext&) = delete;
};

// Releases everything the context holds, in this order: the measure volumes,
// the reference records, the VTC files (closing them), the coordinate scratch
// (capacity 0), then the accumulators and models, last the helper threads
// (stopped and joined). Members never created are
// skipped, so it is safe after a failure at any point and safe to call twice.
// The host's maps are not touched: deleting them is the caller's part of the
// tear-down. VtcEntry links into the released files dangle afterwards.
void releaseAnalysisContext(AnalysisContext& context);
