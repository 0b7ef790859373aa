#include "analysis/engine_input.h"

#include <algorithm>

#include "analysis/seeds.h"

namespace ldi {

bool seedReferences(const std::vector<std::string>& names, const std::vector<std::vector<int64_t>>& voxels,
                    const std::vector<std::unique_ptr<OpenedRun>>& runs, int32_t order, SeedReferences& references,
                    std::string& problem) {
    references = SeedReferences();
    for (std::size_t s = 0; s < names.size(); ++s) {
        EngineSeed seed;
        seed.name = names[s];
        for (const auto& run : runs) {
            auto record = std::make_unique<VoiTimeCourse>();
            record->voiName = names[s];
            record->vtcPath = run->path;
            record->meanTimeCourse = Matrix(1, run->source->numVolumes(), 1, 1);
            record->residualCovariance = Matrix(1, 1, 1, 1);
            record->arCoefficients = MatrixList(order, 1, record->residualCovariance);
            if (!seedMean(*run->source, voxels[s], record->meanTimeCourse, problem)) return false;
            seed.references.push_back(record.get());
            references.records.push_back(std::move(record));
        }
        references.seeds.push_back(std::move(seed));
    }
    return true;
}

void resizeReferenceModels(SeedReferences& references, int32_t order) {
    for (const auto& record : references.records)
        record->arCoefficients = MatrixList(order, 1, record->residualCovariance);
}

EngineInput engineInput(const GlobalParameters& parameters, const std::vector<std::unique_ptr<OpenedRun>>& runs,
                        const SeedReferences& references, std::vector<EngineCondition> conditions,
                        const std::vector<uint8_t>& mask) {
    const NiftiHeader& grid = runs.front()->header;
    EngineInput input;
    input.parameters = &parameters;
    input.sourceLabel = "run";
    input.grid.dimX = static_cast<int32_t>(grid.nx());
    input.grid.dimY = static_cast<int32_t>(grid.ny());
    input.grid.dimZ = static_cast<int32_t>(grid.nz());
    for (const auto& run : runs) {
        input.sources.push_back(run->source.get());
        input.longestSource = std::max(input.longestSource, run->source->numVolumes());
    }
    input.seeds = references.seeds;
    input.conditions = std::move(conditions);
    input.voxelMask = &mask;
    return input;
}

}  // namespace ldi
