#include "stats/surrogates.h"

#include <algorithm>
#include <ostream>

#include "plugin/analysis_context.h"
#include "plugin/host_api.h"
#include "plugin/run_control.h"
#include "setup/analysis_setup.h"
#include "stats/ar_model.h"
#include "stats/simulation.h"

namespace {

// A course without a usable model gets an all-zero model and all-zero
// surrogates, so that nothing stale from an earlier record is left in it and
// the voxel pass counts its surrogates as ill-defined.
void clearModel(VoiTimeCourse& record) {
    fillBlock(record.residualCovariance, record.residualCovariance.rowBase, record.residualCovariance.rowEnd,
              record.residualCovariance.colBase, record.residualCovariance.colEnd, 0.0f);
    for (Matrix& coefficient : record.arCoefficients.elements) {
        fillBlock(coefficient, coefficient.rowBase, coefficient.rowEnd, coefficient.colBase, coefficient.colEnd, 0.0f);
    }
}

void clearSurrogateRow(VoiTimeCourse& record, int32_t row) {
    fillBlock(record.surrogates, row, row + 1, record.surrogates.colBase, record.surrogates.colEnd, 0.0f);
}

}  // namespace

int generateSurrogates(AnalysisContext& context, AnalysisSetup& setup, std::ostream& errorStream) {
    const GlobalParameters& parameters = setup.parameters;
    if (parameters.showVerboseProgressLog) {
        hostApi.syLogText(formatText("%s\n%s Generating surrogate ref time-courses...", progressPrefix, progressPrefix)
                              .c_str());
    }
    if (!context.realAccumulator || !context.referenceModel) {
        errorStream << "The statistics work objects were not prepared before the surrogate generation (internal error)";
        return statusTerminalError;
    }
    // maxVolumes is the longest source VTC; the records are consulted as well
    // so that the course matrix can never be narrower than a course.
    int32_t longest = std::max<int32_t>(setup.maxVolumes, 1);
    for (const auto& record : context.voiTimeCourses) {
        longest = std::max(longest, record->meanTimeCourse.colCount);
    }
    const auto discarded = static_cast<int32_t>(parameters.numDiscardedSimulatedTimePoints);
    Matrix course(1, longest, 1, 1);
    Matrix simulation(1, longest + discarded, 1, 1);
    CovarianceAccumulator& accumulator = *context.realAccumulator;
    ArModelWorkspace& model = *context.referenceModel;

    for (const SelectedVoi& voi : setup.vois) {
        for (const Condition& condition : setup.conditions) {
            for (const VtcEntry& entry : condition.entries) {
                VoiTimeCourse* record = findVoiTimeCourse(context, voi, entry.sourcePath);
                if (record == nullptr) {
                    errorStream << "Failed to retrieve precomputed voi time-course for VOI '" << voi.name
                                << "', Condition '" << condition.name << "' (internal error)";
                    return statusTerminalError;
                }
                // One mean and one straight line over the whole run, not per interval.
                const int32_t volumes = record->meanTimeCourse.colCount;
                const int32_t courseRow = record->meanTimeCourse.rowBase;
                detrendRows(record->meanTimeCourse, courseRow, courseRow + 1, 1, volumes + 1, course, 1, 1);

                clearAccumulator(accumulator);
                computeLagProducts(accumulator, course, 1, 2, 1, volumes + 1);
                accumulateInterval(accumulator, course, 1, 2, 1, volumes + 1);
                const bool fitted = fitArModel(accumulator, 0, model);
                if (fitted) {
                    residualCovarianceOf(accumulator, 0, model, record->residualCovariance);
                    arCoefficientsOf(model, record->arCoefficients);
                } else {
                    clearModel(*record);
                }

                Matrix& surrogates = record->surrogates;
                for (int32_t s = 0; s < surrogates.rowCount; ++s) {
                    const int32_t row = surrogates.rowBase + s;
                    // A non-positive (or non-finite) residual variance makes the
                    // simulation refuse; the row is then zeros like an unfitted one.
                    if (!fitted || !simulateArSeries(simulation, 1, 2, simulation.colBase, simulation.colEnd,
                                                     record->arCoefficients, record->residualCovariance, s)) {
                        clearSurrogateRow(*record, row);
                        continue;
                    }
                    // The first simulated points are warm-up: a shorter run discards more.
                    copyBlock(surrogates, row, row + 1, surrogates.colBase, surrogates.colEnd, simulation, 1,
                              simulation.colEnd - volumes);
                }
            }
        }
    }
    return statusSuccess;
}
