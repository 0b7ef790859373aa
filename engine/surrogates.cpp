#include "engine/surrogates.h"

#include <algorithm>
#include <atomic>
#include <ostream>
#include <vector>

#include "base/status.h"
#include "data/voi_time_course.h"
#include "stats/ar_model.h"
#include "stats/parallel.h"
#include "stats/random.h"
#include "stats/simulation.h"

namespace ldi {

namespace {

// Series drawn by one thread at a time before it asks for more.
constexpr int32_t kSeriesPerTask = 16;

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

namespace {

// The series' length: the longest source, or the longest reference should one
// be longer, so that the course matrix can never be narrower than a course.
int32_t simulatedLength(const EngineInput& input) {
    int32_t longest = std::max<int32_t>(input.longestSource, 1);
    for (const EngineSeed& seed : input.seeds)
        for (const VoiTimeCourse* record : seed.references)
            if (record != nullptr) longest = std::max(longest, record->meanTimeCourse.colCount);
    return longest;
}

// Series `s` of a reference's model, simulated over `own` (longest +
// discarded points) with a generator of its own, seeded from the run's seed;
// false when the model refuses (a non-positive or non-finite residual
// variance, or no residuals to resample).
bool simulateSeries(const EngineInput& input, const SurrogateModels& models, const VoiTimeCourse& record, int32_t s,
                    Matrix& own, RandomState& generator) {
    const uint32_t seed = seriesSeed(input.rngSeed, s);
    if (input.surrogateInnovations == SurrogateInnovations::gaussian)
        return simulateArSeries(own, 1, 2, own.colBase, own.colEnd, record.arCoefficients, record.residualCovariance,
                                seed, generator);
    const auto found = models.residuals.find(&record);
    const auto model = models.coefficients.find(&record);
    if (found == models.residuals.end() || model == models.coefficients.end()) return false;
    const std::vector<float>& a = model->second;
    if (input.surrogateInnovations == SurrogateInnovations::permuted) {
        const auto strata = models.strata.find(&record);
        if (strata == models.strata.end()) return false;
        return simulateArPermuted(own.row(1) + own.colBase, own.colEnd - own.colBase, a.data(),
                                  static_cast<int32_t>(a.size()), found->second, strata->second, seed, generator);
    }
    return simulateArBootstrap(own.row(1) + own.colBase, own.colEnd - own.colBase, a.data(),
                               static_cast<int32_t>(a.size()), found->second, seed, generator);
}

// Orders up to which the resampled surrogates' model is chosen: enough for
// the slow, oscillating autocorrelation of BOLD series at short TRs.
constexpr int32_t kLargestSurrogateOrder = 8;

// The condition of every volume of a source (-1 where none has it): the
// strata within which permuted innovations stay, so that a condition's
// surrogates carry that condition's own innovations.
std::vector<int32_t> conditionOfVolumes(const EngineInput& input, int32_t source, int32_t volumes) {
    std::vector<int32_t> label(static_cast<std::size_t>(std::max(volumes, 0)), -1);
    for (std::size_t c = 0; c < input.conditions.size(); ++c)
        for (const EngineEntry& entry : input.conditions[c].entries) {
            if (entry.source != source) continue;
            for (const Interval& interval : entry.intervals)
                for (int32_t v = std::max(interval.first, 1); v <= std::min(interval.last, volumes); ++v)
                    label[static_cast<std::size_t>(v - 1)] = static_cast<int32_t>(c);
        }
    return label;
}

// The model of the resampled or permuted surrogates. Its order is chosen by
// AIC but never below the analysis's: below it the surrogates would lack
// autocorrelation the analysed model can see (at order 0 they would be an
// i.i.d. resample of the seed), and the null would be lighter than the real
// measures' on a seed of higher order.
void fitResampledModel(const EngineInput& input, int32_t source, const VoiTimeCourse& record, const float* course,
                       int32_t volumes, SurrogateModels& models) {
    const int32_t order = static_cast<int32_t>(record.arCoefficients.count);
    // Ten points a coefficient at least, so that short runs are not overfitted.
    const int32_t largest = std::max(order, std::min(kLargestSurrogateOrder, volumes / 10));
    std::vector<float> a = autoregressionByAic(course, volumes, largest, order);
    const auto p = static_cast<int32_t>(a.size());
    models.residuals[&record] = arResiduals(course, volumes, a.data(), p);
    if (input.surrogateInnovations == SurrogateInnovations::permuted) {
        const std::vector<int32_t> label = conditionOfVolumes(input, source, volumes);
        models.strata[&record].assign(label.begin() + std::min(p, volumes), label.end());
    }
    models.coefficients[&record] = std::move(a);
}

}  // namespace

int prepareSurrogateModels(const EngineInput& input, EngineWork& work, SurrogateModels& models,
                           const ProgressSink& progress, std::ostream& errorStream) {
    const GlobalParameters& parameters = *input.parameters;
    if (parameters.showVerboseProgressLog) {
        EngineProgress event;
        event.stage = EngineProgress::Stage::surrogates;
        progress(event);
    }
    if (!work.realAccumulator || !work.referenceModel) {
        errorStream << "The statistics work objects were not prepared before the surrogate generation (internal error)";
        return statusTerminalError;
    }
    models = SurrogateModels{};
    models.count = static_cast<int32_t>(parameters.numSurrogateSimulations);
    models.longest = simulatedLength(input);
    models.discarded = static_cast<int32_t>(parameters.numDiscardedSimulatedTimePoints);
    // The run's draws follow from its seed alone, not from the work's past.
    work.random = RandomState{};
    Matrix course(1, models.longest, 1, 1);
    Matrix last(1, models.longest + models.discarded, 1, 1);
    CovarianceAccumulator& accumulator = *work.realAccumulator;
    ArModelWorkspace& model = *work.referenceModel;

    // In the order the series were always drawn: a reference met again (in
    // another condition) is fitted again, and the run's generator ends
    // where the last series of the last reference left it. Only the last
    // series is drawn here, for that state; the rows are drawn seed by seed
    // when the seed's turn comes (drawSeedSurrogates), so that the surrogates
    // of one seed at a time are held.
    for (const EngineSeed& seed : input.seeds) {
        for (const EngineCondition& condition : input.conditions) {
            for (const EngineEntry& entry : condition.entries) {
                VoiTimeCourse* record = referenceOf(seed, entry.source);
                if (record == nullptr) {
                    errorStream << "Failed to retrieve precomputed voi time-course for VOI '" << seed.name
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
                    models.fitted.insert(record);
                    if (input.surrogateInnovations != SurrogateInnovations::gaussian)
                        fitResampledModel(input, entry.source, *record, course.row(1) + 1, volumes, models);
                } else {
                    clearModel(*record);
                    models.fitted.erase(record);
                    models.residuals.erase(record);
                    models.coefficients.erase(record);
                    models.strata.erase(record);
                }
                RandomState generator;
                if (fitted && models.count > 0 &&
                    simulateSeries(input, models, *record, models.count - 1, last, generator))
                    work.random = generator;
            }
        }
    }
    return statusSuccess;
}

void drawSeedSurrogates(const EngineInput& input, int32_t seedIndex, const SurrogateModels& models,
                        EngineWork& work) {
    const EngineSeed& seed = input.seeds[static_cast<std::size_t>(seedIndex)];
    // One simulation buffer per thread.
    std::vector<Matrix> simulations(static_cast<std::size_t>(threadCountFor(input.options.threads)),
                                    Matrix(1, models.longest + models.discarded, 1, 1));
    std::vector<VoiTimeCourse*> done;
    for (VoiTimeCourse* record : seed.references) {
        if (record == nullptr || std::find(done.begin(), done.end(), record) != done.end()) continue;
        done.push_back(record);
        const int32_t volumes = record->meanTimeCourse.colCount;
        const int32_t count = models.count;
        Matrix& surrogates = record->surrogates;
        if (surrogates.rowCount != count || surrogates.colCount != volumes) surrogates = Matrix(count, volumes, 1, 1);
        const bool fitted = models.fitted.count(record) > 0;
        // Every series is seeded by its own number, so the series do not
        // depend on each other: they are drawn on several threads, each on a
        // generator of its own, and the run's generator is not touched.
        const int workers = std::min<int>(static_cast<int>(simulations.size()), count / 32 + 1);
        shareWork(workers, count, kSeriesPerTask, [&](int64_t first, int64_t end, int worker) {
            Matrix& own = simulations[static_cast<std::size_t>(worker)];
            for (auto s = static_cast<int32_t>(first); s < end; ++s) {
                const int32_t row = surrogates.rowBase + s;
                RandomState generator;
                if (!fitted || !simulateSeries(input, models, *record, s, own, generator)) {
                    clearSurrogateRow(*record, row);
                    continue;
                }
                // The first simulated points are warm-up: a shorter run discards more.
                copyBlock(surrogates, row, row + 1, surrogates.colBase, surrogates.colEnd, own, 1,
                          own.colEnd - volumes);
            }
        }, work.workers.get());
    }
}

void releaseSeedSurrogates(const EngineInput& input, int32_t seedIndex) {
    for (VoiTimeCourse* record : input.seeds[static_cast<std::size_t>(seedIndex)].references)
        if (record != nullptr) record->surrogates = Matrix();
}

int generateSurrogates(const EngineInput& input, EngineWork& work, const ProgressSink& progress,
                       std::ostream& errorStream) {
    SurrogateModels models;
    const int status = prepareSurrogateModels(input, work, models, progress, errorStream);
    if (status != statusSuccess) return status;
    for (std::size_t seed = 0; seed < input.seeds.size(); ++seed)
        drawSeedSurrogates(input, static_cast<int32_t>(seed), models, work);
    return statusSuccess;
}

}  // namespace ldi
