// Compares two map sets from .ldi files, as written by two builds of the
// plug-in (Linux and Windows) from the same data and the same clock: the
// layout must agree exactly, the numbers within a tolerance relative to the
// larger of the two values and the map's largest magnitude, and the number of
// voxels that pass each FDR threshold exactly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "formats/ldi_file.h"


namespace ldi_windows_check {

struct ResultDifference {
    bool agree = true;
    std::vector<std::string> problems;  // the first few, for the report
    int64_t numbersCompared = 0;        // voxels and thresholds
    int64_t numbersNotIdentical = 0;    // differing in any bit, within the tolerance or not
    double largestRelative = 0.0;       // largest relative difference seen
    std::vector<double> largestRelativeByMap;
    std::vector<int64_t> notIdenticalByMap;
};

// |a - b| <= tolerance * max(|a|, |b|, |scale|); two NaNs agree. `relative`
// receives |a - b| over that maximum.
bool closeEnough(float a, float b, double tolerance, double& relative, float scale = 0.0f);

ResultDifference compareResults(const ldi::LdiFile& expected, const ldi::LdiFile& actual,
                                double tolerance);

}  // namespace ldi_windows_check
