// Helpers of the host's tests: running `ldi` as a child process, files, and
// the input files of a small analysis.
#pragma once

#include <string>
#include <vector>

#include "support/ldi_process.h"

namespace ldi {

// Runs `ldi` with the arguments in `folder`, feeding `input` on standard
// input (not a terminal), and collects both outputs; a run that hangs is
// killed after a time limit.
using ProcessResult = LdiOutcome;
inline ProcessResult runLdi(const std::vector<std::string>& arguments, const std::string& folder,
                            const std::string& input = std::string()) {
    return runLdiFor(arguments, folder, input);
}

// A small float32 VTC (4 x 3 x 2 voxels of 3 mm, box x 0..12, y 0..9, z 0..6)
// with `volumes` volumes of noisy values well above the inclusion threshold.
bool writeAnalysisVtc(const std::string& path, int volumes = 120, unsigned seed = 1);

// A VOI file with the VOIs "Motor" (two voxels) and "Visual" (one voxel)
// inside the box of writeAnalysisVtc.
std::string analysisVoiText();

// Number of occurrences of `needle` in `text`.
int countOf(const std::string& text, const std::string& needle);

}  // namespace ldi
