// Surrogate reference time courses: series with the autocorrelation of a VOI's
// reference time course but no relation to any voxel, from which the null
// distribution of the influence measures is drawn.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <set>
#include <vector>

#include "engine/engine_input.h"
#include "engine/pass_plan.h"

namespace ldi {

struct VoiTimeCourse;

// What the surrogates of a run are drawn from: every reference's AR model
// (fitted in place: its coefficients and residual variance are in the record)
// and the series' shape.
struct SurrogateModels {
    std::set<const VoiTimeCourse*> fitted;  // the references whose model could be fitted
    // Resampled innovations only: per fitted reference, the AR model the
    // surrogates follow (its order by AIC, tried up to at least the
    // analysis's) and that model's residuals.
    std::map<const VoiTimeCourse*, std::vector<float>> coefficients;
    std::map<const VoiTimeCourse*, std::vector<float>> residuals;
    // Permuted innovations only: per fitted reference, the condition (its
    // index; -1 for none) of each residual's time point.
    std::map<const VoiTimeCourse*, std::vector<int32_t>> strata;
    int32_t count = 0;                      // series per reference
    int32_t longest = 1;                    // kept points of the longest series
    int32_t discarded = 0;                  // warm-up points before them
};

// For every reference time course of the input (seed, condition, entry order;
// a reference met again is fitted again): fits a univariate AR model of order
// autoRegressionOrder to the detrended course and stores its coefficients and
// residual variance in the record (all zeros when the model cannot be fitted)
// and, for resampled innovations, its residuals in `models`.
// Starts the work's generator afresh and leaves it where drawing every
// reference's series in that order would leave it, without drawing them; series
// s is seeded with seriesSeed(input.rngSeed, s). Returns 1, or 3 when a
// reference is missing (message in errorStream). Uses the work's
// realAccumulator and referenceModel as work objects.
int prepareSurrogateModels(const EngineInput& input, EngineWork& work, SurrogateModels& models,
                           const ProgressSink& progress, std::ostream& errorStream);

// The surrogate rows of one seed's references (count x volumes, allocated
// here): series s is simulated over longest + discarded points from its own
// seed and its last `volumes` points are kept; a reference without a usable
// model gets zero rows. Does not move the work's generator.
void drawSeedSurrogates(const EngineInput& input, int32_t seed, const SurrogateModels& models, EngineWork& work);

// Frees the surrogate rows of one seed's references.
void releaseSeedSurrogates(const EngineInput& input, int32_t seed);

// The models and every seed's rows at once.
int generateSurrogates(const EngineInput& input, EngineWork& work, const ProgressSink& progress,
                       std::ostream& errorStream);

}  // namespace ldi
