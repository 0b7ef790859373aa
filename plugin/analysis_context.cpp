#include "plugin/analysis_context.h"

#include "engine/engine.h"

namespace ldi {

AnalysisContext::~AnalysisContext() {
    releaseAnalysisContext(*this);
}

void releaseAnalysisContext(AnalysisContext& context) {
    context.work.realMeasures.reset();
    context.work.nullMeasures.reset();
    context.voiTimeCourses.clear();
    context.sources.clear();
    context.vtcFiles.clear();
    context.coordinateScratch.clear();
    context.coordinateScratch.shrink_to_fit();
    context.coordinateCapacity = 0;
    releaseEngineWork(context.work);
}

}  // namespace ldi
