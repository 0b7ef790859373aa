#include "analysis/non_steady_state.h"

#include <algorithm>
#include <cmath>

#include "formats/nifti_image.h"
#include "stats/steady_state.h"

namespace ldi {

namespace {

// As many volumes as fMRIPrep's detector looks at: the dummy scans of any
// protocol lie well within them.
constexpr int64_t kVolumesLookedAt = 50;

double finiteMean(const float* values, int64_t count, int64_t stride) {
    double sum = 0.0;
    int64_t finite = 0;
    for (int64_t v = 0; v < count; ++v) {
        const float value = values[v * stride];
        if (!std::isfinite(value)) continue;
        sum += value;
        ++finite;
    }
    return finite > 0 ? sum / static_cast<double>(finite) : 0.0;
}

// The global signal of the first volumes of the file. With `keep`, those
// volumes and the reader after them go there too, when they take at most
// `keepBytes` (less what they take) and could all be read.
std::vector<double> fileGlobalSignal(const std::string& path, RunStart* keep, int64_t& keepBytes) {
    NiftiReader reader;
    std::string problem;
    std::vector<double> signal;
    if (!reader.open(path, problem)) return signal;
    const NiftiHeader& header = reader.header();
    const int64_t volumes = std::min(header.volumes(), kVolumesLookedAt);
    const auto voxels = static_cast<std::size_t>(header.voxelsPerVolume());
    const int64_t bytes = volumes * header.voxelsPerVolume() * static_cast<int64_t>(sizeof(float));
    if (bytes > keepBytes) keep = nullptr;
    std::vector<float> kept(keep != nullptr ? voxels * static_cast<std::size_t>(volumes) : 0);
    std::vector<float> one(keep != nullptr ? 0 : voxels);
    for (int64_t t = 0; t < volumes; ++t) {
        float* volume = keep != nullptr ? kept.data() + static_cast<std::size_t>(t) * voxels : one.data();
        if (!reader.readVolume(volume, problem)) return signal;
        signal.push_back(finiteMean(volume, header.voxelsPerVolume(), 1));
    }
    if (keep != nullptr) {
        keepBytes -= bytes;
        keep->volumes = std::move(kept);
        keep->count = static_cast<int32_t>(volumes);
        keep->reader = std::move(reader);
    }
    return signal;
}

// An array run's volumes lie wherever its strides say; x is walked along its
// own stride only when the array is stored x fastest (the usual case).
std::vector<double> arrayGlobalSignal(const RunArray& array) {
    std::vector<double> signal;
    const NiftiHeader& header = array.header;
    const int64_t volumes = std::min(header.volumes(), kVolumesLookedAt);
    for (int64_t t = 0; t < volumes; ++t) {
        double sum = 0.0;
        int64_t finite = 0;
        for (int64_t z = 0; z < header.nz(); ++z)
            for (int64_t y = 0; y < header.ny(); ++y) {
                const float* row = array.values + t * array.strides[3] + z * array.strides[2] + y * array.strides[1];
                for (int64_t x = 0; x < header.nx(); ++x) {
                    const float value = row[x * array.strides[0]];
                    if (!std::isfinite(value)) continue;
                    sum += value;
                    ++finite;
                }
            }
        signal.push_back(finite > 0 ? sum / static_cast<double>(finite) : 0.0);
    }
    return signal;
}

}  // namespace

std::vector<int32_t> nonSteadyStateVolumes(const AnalysisRequest& request, std::vector<RunStart>* starts,
                                           int64_t keepBytes) {
    std::vector<int32_t> counts;
    if (starts != nullptr) {
        starts->clear();
        starts->resize(request.runs.size());
    }
    for (std::size_t r = 0; r < request.runs.size(); ++r) {
        const RunRequest& run = request.runs[r];
        // A regressed run is read by a loader of its own, from the start.
        RunStart* keep = starts != nullptr && !run.confounds ? &(*starts)[r] : nullptr;
        counts.push_back(leadingOutliers(run.array ? arrayGlobalSignal(*run.array)
                                                   : fileGlobalSignal(run.path, keep, keepBytes)));
    }
    return counts;
}

}  // namespace ldi
