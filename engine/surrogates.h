// Surrogate reference time courses: series with the autocorrelation of a VOI's
// reference time course but no relation to any voxel, from which the null
// distribution of the influence measures is drawn.
#pragma once

#include <iosfwd>

#include "engine/voxel_pass.h"

struct EngineInput;
struct EngineWork;

// For every reference time course of the input (seed, condition, entry
// order; a reference met again is processed again): fits a univariate AR model of
// order autoRegressionOrder to the detrended course, stores its coefficients
// and residual variance in the record, and fills the record's surrogate rows
// with simulated series. Each series is simulated over longestSource +
// numDiscardedSimulatedTimePoints points and its last numVolumes points are
// kept. When the model cannot be fitted or its residual variance is not
// positive, the coefficients, the variance and every surrogate row are zeros.
// Returns 1, or 3 when a reference is missing (message in errorStream).
// Uses the work's realAccumulator and referenceModel as work objects.
int generateSurrogates(const EngineInput& input, EngineWork& work, const ProgressLine& progress,
                       std::ostream& errorStream);
