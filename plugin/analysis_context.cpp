#include "plugin/analysis_context.h"

AnalysisContext::~AnalysisContext() {
    releaseAnalysisContext(*this);
}

void releaseAnalysisContext(AnalysisContext& context) {
    context.realMeasures.reset();
    context.nullMeasures.reset();
    context.voiTimeCourses.clear();
    context.vtcFiles.clear();
    context.coordinateScratch.clear();
    context.coordinateScratch.shrink_to_fit();
    context.coordinateCapacity = 0;
    context.realAccumulator.reset();
    context.nullAccumulator.reset();
    context.jointModel.reset();
    context.referenceModel.reset();
    context.voxelModel.reset();
    context.workers.reset();
}
