// VOI reference time courses: the mean VTC time course of a reference VOI in
// one source VTC, plus the AR model and the surrogate series derived from it.
//
// A run keeps one record per pair of a selected VOI and a source VTC path. A
// VOI is identified by its position in the host's VOI list, not by its name:
// two VOIs sharing a name are still two regions.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "data/vtc_file.h"
#include "stats/matrix.h"

namespace ldi {

struct VoiTimeCourse {
    std::string voiName;         // for messages
    int32_t voiHostIndex = -1;   // identity of the VOI (position in the host's list)
    std::string vtcPath;         // the entry's sourcePath
    Matrix meanTimeCourse;       // 1 x T, bases 1/1: column t is the mean at volume t
    Matrix residualCovariance;   // 1 x 1, bases 1/1: the reference model's residual variance
    MatrixList arCoefficients;   // indices 1..p, each 1 x 1 with bases 1/1
    Matrix surrogates;           // S x T, bases 1/1: row 1 + s is surrogate s
};

// Grid index of an anatomical coordinate: (coordinate - boxStart) / resolution
// in float32, rounded half up (floor(v + 0.5)), also for negative values.
int32_t toVtcIndex(int32_t coordinate, int32_t boxStart, int32_t resolution);

// Result of readVoiMeanTimeCourse.
struct VoiMeanResult {
    bool ok = false;             // false: a seek or read failed (file shorter than its header says)
    int32_t voxelsInside = 0;    // VOI voxels that fall inside the grid (the N of the mean)
    int32_t voxelsOutside = 0;   // VOI voxels left out
};

// Mean over the VOI's voxels of the VTC voxel each falls into, written to
// row `row` of `output` (numVolumes columns from its column base). With a
// nonzero coordsConvention each voxel (x, y, z) is first taken as
// (128 - y, 128 - z, 128 - x). Voxels whose grid index lies outside the grid
// are left out and counted. Each distinct VTC voxel is read once. `scratch`
// must hold 3 * voxelCount values; `voxels` is not changed. On success the file
// is left at the data start. When no voxel lies inside, ok is true and the
// output row is zeros.
VoiMeanResult readVoiMeanTimeCourse(std::FILE* file, const VtcHeader& header, const int32_t* voxels,
                                    int32_t voxelCount, int32_t coordsConvention, Matrix& output, int32_t row,
                                    int32_t* scratch);

}  // namespace ldi
