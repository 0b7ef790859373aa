// The volumes at the start of a request's runs recorded before the steady
// state (stats/steady_state.h), found from each run's global signal when
// nothing else (an option, fMRIPrep's confounds) says how many to skip.
#pragma once

#include <cstdint>
#include <vector>

#include "analysis/analysis_request.h"
#include "formats/nifti_image.h"

namespace ldi {

// The first volumes of a run file as the detection read them, and its reader
// where they end: loading the run goes on from there rather than inflating
// them a second time (a tenth of a second per 100 MB).
struct RunStart {
    NiftiReader reader;          // open after the kept volumes, when `count` > 0
    std::vector<float> volumes;  // the first `count` volumes, one after the other
    int32_t count = 0;
};

// Per run, the leading volumes whose global signal (the mean over the
// finite voxels of each of the first 50 volumes) is an outlier; 0 for a run
// that cannot be read (the analysis then says why). With `starts`, per run
// what was read of a file run read as it is (no confounds), as long as all
// that is kept takes at most `keepBytes`; nothing of a run that could not be
// read to the 50th volume (or its end).
std::vector<int32_t> nonSteadyStateVolumes(const AnalysisRequest& request, std::vector<RunStart>* starts = nullptr,
                                           int64_t keepBytes = 0);

}  // namespace ldi
