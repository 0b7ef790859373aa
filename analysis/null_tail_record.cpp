#include "analysis/null_tail_record.h"

#include "engine/engine_input.h"

namespace ldi {

nlohmann::ordered_json nullTailJson(const NullTailRecord& tail) {
    nlohmann::ordered_json record;
    record["Fit"] = "generalized Pareto, probability-weighted moments";
    record["Accepted"] = tail.accepted;
    record["NullValues"] = tail.nullValues;
    if (tail.accepted) {
        record["Exceedances"] = tail.exceedances;
        record["Threshold"] = tail.threshold;
        record["Scale"] = tail.scale;
        record["Shape"] = tail.shape;
    }
    record["AndersonDarling"] = tail.andersonDarling;
    record["FloorP"] = tail.floorP;
    record["LowestP"] = tail.lowestP;
    record["VoxelsBeyondNull"] = tail.beyondDraws;
    record["VoxelsAtLowestP"] = tail.heldAtLowest;
    record["BeyondNull"] =
        tail.accepted
            ? "a voxel beyond every null value has the fitted tail's p, at most FloorP and at least LowestP"
            : "no fit was accepted (too few null values, or none passed the Anderson-Darling check): every voxel "
              "beyond the null values has p = FloorP";
    return record;
}

}  // namespace ldi
