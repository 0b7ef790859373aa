// Small helpers shared by the input-data tests: a set-up over test VTC files
// and VOIs held in memory the way the host holds them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/whole_run.h"
#include "support/vtc_writer.h"

namespace ldi {

// Copies the writer's geometry into the set-up, as the VTC dialogs do.
inline void setGeometry(AnalysisSetup& setup, const VtcWriterOptions& vtc) {
    setup.xStart = vtc.xStart;
    setup.xEnd = vtc.xEnd;
    setup.yStart = vtc.yStart;
    setup.yEnd = vtc.yEnd;
    setup.zStart = vtc.zStart;
    setup.zEnd = vtc.zEnd;
    setup.resolution = vtc.resolution;
    if (vtc.numVolumes > setup.maxVolumes) {
        setup.maxVolumes = vtc.numVolumes;
    }
}

// A VOI's voxel array, owned by the test as the host owns it in a run.
struct TestVoi {
    std::string name;
    int32_t hostIndex = 0;
    std::vector<int32_t> coordinates;  // x, y, z triples

    void add(int32_t x, int32_t y, int32_t z) {
        coordinates.push_back(x);
        coordinates.push_back(y);
        coordinates.push_back(z);
    }
    int32_t count() const { return static_cast<int32_t>(coordinates.size() / 3); }

    SelectedVoi selected(int32_t coordsConvention = 0) const {
        SelectedVoi voi;
        voi.name = name;
        voi.hostIndex = hostIndex;
        voi.voxelCount = count();
        voi.voxels = coordinates.empty() ? nullptr : coordinates.data();
        voi.coordsConvention = coordsConvention;
        return voi;
    }
};

// Every anatomical voxel of the cube [x0, x0 + size) x [y0, ...) x [z0, ...).
inline void addCube(TestVoi& voi, int32_t x0, int32_t y0, int32_t z0, int32_t size) {
    for (int32_t z = z0; z < z0 + size; ++z) {
        for (int32_t y = y0; y < y0 + size; ++y) {
            for (int32_t x = x0; x < x0 + size; ++x) {
                voi.add(x, y, z);
            }
        }
    }
}

}  // namespace ldi
