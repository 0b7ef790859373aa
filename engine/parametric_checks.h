// Where the chi-square null of `--fdr parametric` is known not to hold: the
// calibration (scripts/calibrate-fdr) finds it exceeding q with heavy-tailed
// innovations, with a seed whose autocorrelation the analysis's order does
// not capture, with short intervals and with a drifting seed. The
// permutation method's null is drawn from the seed's own model and residuals
// and holds in those settings, so these cases are told, not refused.
#pragma once

#include <string>
#include <vector>

#include "engine/engine_input.h"
#include "engine/surrogates.h"

namespace ldi {

// Intervals shorter than this many volumes: the pre-windowed start and the
// detrending take a share of the degrees of freedom that n_adj does not
// capture well (Inst and Vox2Ref ran above q at 12-volume blocks).
constexpr int32_t kShortestParametricInterval = 20;

// The reasons, one sentence each, why the parametric p-values of this run
// may be too small (none when nothing speaks against them). Needs the
// resampled surrogates' models (SurrogateModels::coefficients, residuals).
std::vector<std::string> parametricCautions(const EngineInput& input, const SurrogateModels& models);

}  // namespace ldi
