#include "plugin/analysis_driver.h"

#include <sstream>

#include "base/host_api.h"
#include "base/status.h"
#include "engine/engine.h"
#include "output/host_listener.h"
#include "output/result_output.h"
#include "plugin/analysis_context.h"
#include "plugin/run_inputs.h"
#include "plugin/run_seed.h"
#include "setup/analysis_setup.h"
#include "stats/parallel.h"

namespace ldi {

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

}  // namespace

int runAnalysis(AnalysisContext& context, AnalysisSetup& setup, std::ostream& errorStream) {
    TearDown tearDown(context);
    std::ostringstream runLog;
    context.options.threads = requestedThreadCount();
    // The helpers start now and wait for the first parallel step (the surrogates)
    // while the reference time courses are read.
    context.work.workers = std::make_unique<WorkerTeam>(threadCountFor(context.options.threads) - 1);

    // Every name the run will write is formed, and checked, before anything is computed.
    int status = checkResultNames(setup, errorStream);
    if (status != statusSuccess) return status;
    status = prepareReferenceTimeCourses(context, setup, errorStream);
    if (status != statusSuccess) return status;
    HostListener listener(setup, runLog, errorStream);
    context.rngSeed = static_cast<uint32_t>(startRunSeed());
    return runEngine(engineInputOf(context, setup), context.work, listener, runLog, errorStream);
}

}  // namespace ldi
