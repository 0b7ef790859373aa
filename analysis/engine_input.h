// The engine's input for an analysis of NIfTI runs: the seeds' reference
// time courses in every run, and the input that names the runs' sources,
// the seeds, the conditions and the analysed voxels.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analysis/run_set.h"
#include "data/voi_time_course.h"
#include "engine/engine.h"

namespace ldi {

struct SeedReferences {
    std::vector<std::unique_ptr<VoiTimeCourse>> records;  // seed after seed, run after run
    std::vector<EngineSeed> seeds;                        // pointing into records
};

// Every seed's mean time course in every run (`voxels` per seed), with room
// for the reference models of order `order`. False with a message.
bool seedReferences(const std::vector<std::string>& names, const std::vector<std::vector<int64_t>>& voxels,
                    const std::vector<std::unique_ptr<OpenedRun>>& runs, int32_t order, SeedReferences& references,
                    std::string& problem);

// Makes room in every reference for the reference models of another order.
void resizeReferenceModels(SeedReferences& references, int32_t order);

// The input of the runs, seeds, conditions and analysed voxels (`mask`,
// which must outlive it); the statistics are the caller's to set.
EngineInput engineInput(const GlobalParameters& parameters, const std::vector<std::unique_ptr<OpenedRun>>& runs,
                        const SeedReferences& references, std::vector<EngineCondition> conditions,
                        const std::vector<uint8_t>& mask);

}  // namespace ldi
