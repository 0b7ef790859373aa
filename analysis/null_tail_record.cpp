#include "analysis/null_tail_record.h"

#include <cstdio>

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

std::string nullTailText(const NullTailRecord& tail) {
    if (!tail.tried) return {};
    char text[320];
    if (tail.accepted)
        std::snprintf(text, sizeof text,
                      "Beyond the %lld null values: a generalized Pareto tail of %lld exceedances (shape %.2f, "
                      "Anderson-Darling %.2f), p down to %.2g; %lld voxels beyond the null values, %lld held at "
                      "that bound.",
                      static_cast<long long>(tail.nullValues), static_cast<long long>(tail.exceedances), tail.shape,
                      tail.andersonDarling, tail.lowestP, static_cast<long long>(tail.beyondDraws),
                      static_cast<long long>(tail.heldAtLowest));
    else
        std::snprintf(text, sizeof text,
                      "Beyond the %lld null values: no tail fit was accepted, so the %lld voxels beyond them have "
                      "p = %.2g, the floor.",
                      static_cast<long long>(tail.nullValues), static_cast<long long>(tail.beyondDraws), tail.floorP);
    return text;
}

}  // namespace ldi
