// The volumes at the start of a request's runs recorded before the steady
// state (stats/steady_state.h), found from each run's global signal when
// nothing else (an option, fMRIPrep's confounds) says how many to skip.
#pragma once

#include <cstdint>
#include <vector>

#include "analysis/analysis_request.h"

namespace ldi {

// Per run, the leading volumes whose global signal (the mean over the
// finite voxels of each of the first 50 volumes) is an outlier; 0 for a run
// that cannot be read (the analysis then says why).
std::vector<int32_t> nonSteadyStateVolumes(const AnalysisRequest& request);

}  // namespace ldi
