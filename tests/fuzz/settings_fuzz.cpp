// Any byte sequence as the settings file: the reader either takes every line
// and leaves only values inside their ranges, or dismisses the whole file
// with a message and changes nothing.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "config/global_parameters.h"
#include "fuzz_check.h"
#include "setup/analysis_setup.h"

using namespace ldi;

namespace {

bool sameParameters(const GlobalParameters& a, const GlobalParameters& b) {
    return a.mapTypesComputed == b.mapTypesComputed && a.qThresholdsForFDR == b.qThresholdsForFDR &&
           a.cvConstantForFDR == b.cvConstantForFDR && a.autoRegressionOrder == b.autoRegressionOrder &&
           a.firstTimePointInclusionThres == b.firstTimePointInclusionThres &&
           a.showVerboseProgressLog == b.showVerboseProgressLog &&
           a.numSurrogateSimulations == b.numSurrogateSimulations &&
           a.numDiscardedSimulatedTimePoints == b.numDiscardedSimulatedTimePoints &&
           a.dldiITInstLowerThres == b.dldiITInstLowerThres && a.dldiRCUpperThres == b.dldiRCUpperThres &&
           a.separateSourceTargetVTCs == b.separateSourceTargetVTCs && a.mapScaleFactor == b.mapScaleFactor;
}

void checkRanges(const GlobalParameters& p) {
    FUZZ_CHECK(!p.mapTypesComputed.empty());
    for (MapType type : p.mapTypesComputed) FUZZ_CHECK(type >= REF2VOX && type <= DLDI_RC);
    FUZZ_CHECK(!p.qThresholdsForFDR.empty());
    for (float q : p.qThresholdsForFDR) FUZZ_CHECK(q > 0.0f && q < 1.0f);
    FUZZ_CHECK(p.cvConstantForFDR == 1 || p.cvConstantForFDR == 2);
    FUZZ_CHECK(p.autoRegressionOrder >= 1 && p.autoRegressionOrder <= 20);
    FUZZ_CHECK(p.numSurrogateSimulations >= 10 && p.numSurrogateSimulations <= 10000);
    FUZZ_CHECK(p.numDiscardedSimulatedTimePoints >= 10 && p.numDiscardedSimulatedTimePoints <= 1000);
    FUZZ_CHECK(std::isfinite(p.dldiITInstLowerThres) && p.dldiITInstLowerThres > 0.0f);
    FUZZ_CHECK(p.dldiRCUpperThres >= 0.0f && p.dldiRCUpperThres < 1.0f);
    FUZZ_CHECK(p.mapScaleFactor >= 0.01f && p.mapScaleFactor <= 1000.0f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::istringstream input(std::string(reinterpret_cast<const char*>(data), size));
    std::ostringstream errors;
    AnalysisSetup setup;
    const GlobalParameters defaults = setup.parameters;
    if (readSettingsFile(input, setup.parameters, errors)) {
        FUZZ_CHECK(errors.str().empty());
        checkRanges(setup.parameters);
    } else {
        FUZZ_CHECK(!errors.str().empty());
        FUZZ_CHECK(sameParameters(setup.parameters, defaults));
    }
    return 0;
}
