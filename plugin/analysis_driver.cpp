#include "plugin/analysis_driver.h"

#include <sstream>
#include <string>

#include "data/voi_time_course.h"
#include "maps/map_assembly.h"
#include "maps/result_output.h"
#include "maps/voxel_pass.h"
#include "plugin/analysis_context.h"
#include "plugin/host_api.h"
#include "plugin/run_control.h"
#include "setup/analysis_setup.h"
#include "stats/parallel.h"
#include "stats/surrogates.h"

namespace {

// Releases the context and removes every map from the host when the run
// leaves runAnalysis, by whatever path (a failing step or exhausted memory).
class TearDown {
public:
    explicit TearDown(AnalysisContext& context) : context_(context) {}
    ~TearDown() {
        releaseAnalysisContext(context_);
        hostApi.syDeleteNRVMPsOfCurrentVMR();
    }
    TearDown(const TearDown&) = delete;
    TearDown& operator=(const TearDown&) = delete;

private:
    AnalysisContext& context_;
};

int runVoi(AnalysisContext& context, const SelectedVoi& voi, const AnalysisSetup& setup,
           std::ostringstream& runLog, std::ostream& errorStream) {
    const bool verbose = setup.parameters.showVerboseProgressLog;
    runLog.str("");
    runLog.clear();
    writeParameterLog(context, setup, runLog);
    if (verbose)
        hostApi.syLogText(
            formatText("%s\n%s VOI: <b>%s</b>", progressPrefix, progressPrefix, voi.name.c_str()).c_str());
    runLog << "VOI: " << voi.name << '\n' << std::string(voi.name.size() + 5, '*') << '\n';

    int status = createMapSet(context, voi, setup, errorStream);
    if (status != statusSuccess) return status;

    int32_t conditionIndex = 0;
    for (const Condition& condition : setup.conditions) {
        if (verbose)
            hostApi.syLogText(formatText("%s\n%s\tCondition: <em>%s</em>", progressPrefix, progressPrefix,
                                         condition.name.c_str())
                                  .c_str());
        runLog << '\n'
               << "\tCondition: " << condition.name << '\n'
               << '\t' << std::string(condition.name.size() + 11, '-') << '\n';
        status = computeConditionMeasures(context, voi, condition, setup, runLog, errorStream);
        if (status != statusSuccess) return status;
        if (verbose)
            hostApi.syLogText(
                formatText("%s\n%s\tComputing maps and thresholds... ", progressPrefix, progressPrefix).c_str());
        status = assembleMaps(context, voi, condition, conditionIndex, setup, errorStream);
        if (status != statusSuccess) return status;
        ++conditionIndex;
    }
    return saveResults(context, voi, setup, runLog, errorStream);
}

}  // namespace

int runAnalysis(AnalysisContext& context, AnalysisSetup& setup, std::ostream& errorStream) {
    TearDown tearDown(context);
    std::ostringstream runLog;
    // The helpers start now and wait for the first parallel step (the surrogates)
    // while the reference time courses are read.
    context.workers = std::make_unique<WorkerTeam>(computationThreadCount() - 1);

    int status = prepareReferenceTimeCourses(context, setup, errorStream);
    if (status != statusSuccess) return status;
    status = generateSurrogates(context, setup, errorStream);
    if (status != statusSuccess) return status;

    for (const SelectedVoi& voi : setup.vois) {
        status = runVoi(context, voi, setup, runLog, errorStream);
        if (status != statusSuccess) return status;
    }
    return statusSuccess;
}
