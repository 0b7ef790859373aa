// The computation of one run: preparation of the reference time courses and
// surrogates, then per selected VOI its map set, the voxel pass and the maps
// of every condition, and the VOI's result files; the tear-down runs on every
// exit.
#pragma once

#include <ostream>

namespace ldi {

struct AnalysisContext;
struct AnalysisSetup;

// Runs the whole computation for a completed set-up. Returns 1 on success,
// otherwise the status of the first step that failed (its description is in
// errorStream). Whatever the outcome, the context is released and the host's
// current VMR holds no maps on return; result files of VOIs finished before a
// failure stay on disk.
int runAnalysis(AnalysisContext& context, AnalysisSetup& setup, std::ostream& errorStream);

}  // namespace ldi
