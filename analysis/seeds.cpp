#include "analysis/seeds.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace ldi {

namespace {

// The comma-separated numbers of a sphere, or nothing when any part is not one.
std::vector<double> sphereNumbers(const std::string& definition) {
    std::vector<double> numbers;
    std::istringstream in(definition);
    std::string part;
    while (std::getline(in, part, ',')) {
        char* end = nullptr;
        const double value = std::strtod(part.c_str(), &end);
        if (part.empty() || end != part.c_str() + part.size() || !std::isfinite(value)) return {};
        numbers.push_back(value);
    }
    return numbers;
}

}  // namespace

bool parseSeedText(const std::string& text, SeedRequest& seed, std::string& problem) {
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 == text.size()) {
        problem = "--seed " + text + ": give NAME=MASK.nii.gz or NAME=X,Y,Z,R";
        return false;
    }
    seed = SeedRequest();
    seed.name = text.substr(0, equals);
    const std::string definition = text.substr(equals + 1);
    const std::vector<double> numbers = sphereNumbers(definition);
    if (numbers.empty()) {
        seed.shape = SeedRequest::Shape::maskFile;
        seed.maskPath = definition;
        return true;
    }
    // The radius is checked with every other door's spheres (request_checks.h).
    if (numbers.size() != 4) {
        problem = "--seed " + text + ": a sphere is X,Y,Z,R in millimetres with a positive radius R";
        return false;
    }
    seed.shape = SeedRequest::Shape::sphere;
    for (std::size_t i = 0; i < 4; ++i) seed.sphere[i] = numbers[i];
    return true;
}

bool sphereVoxels(const NiftiHeader& grid, const std::array<double, 4>& sphere, const std::string& seedName,
                  const std::string& gridPath, std::vector<int64_t>& voxels, std::string& problem) {
    voxels.clear();
    const Affine toWorld = voxelToWorld(grid);
    Affine toVoxel{};
    if (!invertAffine(toWorld, toVoxel)) {
        problem = gridPath + ": its affine cannot be inverted, so world coordinates do not reach the grid";
        return false;
    }
    double centre[3];
    for (std::size_t i = 0; i < 3; ++i)
        centre[i] = toVoxel[i][0] * sphere[0] + toVoxel[i][1] * sphere[1] + toVoxel[i][2] * sphere[2] + toVoxel[i][3];
    for (std::size_t i = 0; i < 3; ++i) {
        if (centre[i] >= -0.5 && centre[i] <= static_cast<double>(grid.dim[i + 1]) - 0.5) continue;
        char text[160];
        std::snprintf(text, sizeof text, "(%g, %g, %g) mm lies at voxel (%.1f, %.1f, %.1f), outside the grid of ",
                      sphere[0], sphere[1], sphere[2], centre[0], centre[1], centre[2]);
        problem = "seed '" + seedName + "': the sphere's centre " + text + gridText(grid) + " voxels of " + gridPath;
        return false;
    }
    const double radius2 = sphere[3] * sphere[3];
    for (int64_t k = 0; k < grid.nz(); ++k)
        for (int64_t j = 0; j < grid.ny(); ++j)
            for (int64_t i = 0; i < grid.nx(); ++i) {
                double distance2 = 0.0;
                for (std::size_t r = 0; r < 3; ++r) {
                    const double world = toWorld[r][0] * static_cast<double>(i) +
                                         toWorld[r][1] * static_cast<double>(j) +
                                         toWorld[r][2] * static_cast<double>(k) + toWorld[r][3];
                    distance2 += (world - sphere[r]) * (world - sphere[r]);
                }
                if (distance2 <= radius2) voxels.push_back((k * grid.ny() + j) * grid.nx() + i);
            }
    if (voxels.empty()) {
        problem = "seed '" + seedName + "': the sphere of radius " + std::to_string(sphere[3]) +
                  " mm holds no voxel centre of the grid; give a larger radius";
        return false;
    }
    return true;
}

bool readMaskOnGrid(const std::string& path, const NiftiHeader& grid, const std::string& gridPath,
                    const std::string& what, std::vector<float>& values, std::string& problem) {
    NiftiHeader header;
    if (!readNiftiVolume(path, header, values, false, problem)) return false;
    if (sameGrid(header, grid)) return true;
    problem = path + ": the " + what + " is on another grid (" + gridText(header) +
              " voxels or another affine) than the bold " + gridPath + " (" + gridText(grid) +
              " voxels); resample it onto the bold's grid";
    return false;
}

std::vector<int64_t> nonzeroVoxels(const std::vector<float>& values) {
    std::vector<int64_t> voxels;
    for (std::size_t v = 0; v < values.size(); ++v)
        if (values[v] != 0.0f && !std::isnan(values[v])) voxels.push_back(static_cast<int64_t>(v));
    return voxels;
}

bool seedVoxels(const SeedRequest& seed, const NiftiHeader& grid, const std::string& gridPath,
                std::vector<int64_t>& voxels, std::string& problem) {
    voxels.clear();
    switch (seed.shape) {
    case SeedRequest::Shape::sphere:
        return sphereVoxels(grid, seed.sphere, seed.name, gridPath, voxels, problem);
    case SeedRequest::Shape::maskFlags:
        if (seed.maskFlags.size() != static_cast<std::size_t>(grid.voxelsPerVolume())) {
            problem = "seed '" + seed.name + "': its mask has " + std::to_string(seed.maskFlags.size()) +
                      " voxels, the grid of " + gridPath + " " + std::to_string(grid.voxelsPerVolume());
            return false;
        }
        for (std::size_t v = 0; v < seed.maskFlags.size(); ++v)
            if (seed.maskFlags[v] != 0) voxels.push_back(static_cast<int64_t>(v));
        break;
    case SeedRequest::Shape::maskFile: {
        std::vector<float> values;
        if (!readMaskOnGrid(seed.maskPath, grid, gridPath, "mask of seed '" + seed.name + "'", values, problem))
            return false;
        voxels = nonzeroVoxels(values);
        break;
    }
    }
    if (voxels.empty()) {
        problem = "seed '" + seed.name + "': the mask " +
                  (seed.shape == SeedRequest::Shape::maskFile ? seed.maskPath + " " : std::string()) +
                  "holds no voxel";
        return false;
    }
    return true;
}

bool seedMean(SliceSource& source, const std::vector<int64_t>& voxels, Matrix& out, std::string& problem) {
    const int32_t volumes = source.numVolumes();
    float* mean = out.at(out.rowBase, out.colBase);
    for (int32_t t = 0; t < volumes; ++t) mean[t] = 0.0f;
    std::vector<float> values(static_cast<std::size_t>(volumes));
    for (const int64_t voxel : voxels) {
        if (!source.readTimeCourse(voxel, values.data())) {
            problem = "cannot read back the data of " + source.name();
            return false;
        }
        for (int32_t t = 0; t < volumes; ++t) mean[t] = mean[t] + values[static_cast<std::size_t>(t)];
    }
    const float n = static_cast<float>(voxels.size());
    for (int32_t t = 0; t < volumes; ++t) mean[t] = mean[t] / n;
    return true;
}

// The NIfTI xform code that places the grid in world mm, by its name.
std::string worldSpaceName(const NiftiHeader& grid) {
    const int32_t code = grid.sformCode > 0 ? grid.sformCode : grid.qformCode;
    const char* form = grid.sformCode > 0 ? "sform" : "qform";
    switch (code) {
    case 1: return std::string(form) + " scanner";
    case 2: return std::string(form) + " aligned";
    case 3: return std::string(form) + " talairach";
    case 4: return std::string(form) + " mni_152";
    case 5: return std::string(form) + " template_other";
    default: return code > 0 ? std::string(form) + " code " + std::to_string(code) : "none (voxel sizes)";
    }
}

nlohmann::ordered_json seedDefinition(const SeedRequest& seed, const NiftiHeader& grid,
                                      const std::vector<int64_t>& voxels, const MapRunRecord& run) {
    nlohmann::ordered_json definition;
    switch (seed.shape) {
    case SeedRequest::Shape::sphere:
        definition["Shape"] = "sphere";
        definition["CentreMm"] = {seed.sphere[0], seed.sphere[1], seed.sphere[2]};
        definition["RadiusMm"] = seed.sphere[3];
        break;
    case SeedRequest::Shape::maskFile: {
        definition["Shape"] = "mask";
        definition["MaskFile"] = recordedPath(run, seed.maskPath);
        // The checksum the run made of its inputs: the mask is not read again.
        definition["MaskSHA256"] = nullptr;
        for (const MapRunInput& input : run.inputs)
            if (input.path == seed.maskPath && !input.sha256.empty()) definition["MaskSHA256"] = input.sha256;
        break;
    }
    case SeedRequest::Shape::maskFlags: definition["Shape"] = "voxels"; break;
    }
    definition["Voxels"] = voxels.size();
    // The space of the world coordinates (CentreMm, CentroidMm): the grid's
    // sform when set, else its qform, else none (voxel sizes from the first voxel).
    definition["CoordinateSpace"] = worldSpaceName(grid);
    // The centroid of the voxel centres in world mm: where the seed lies,
    // whatever its shape.
    const Affine toWorld = voxelToWorld(grid);
    double sum[3] = {0.0, 0.0, 0.0};
    for (const int64_t v : voxels) {
        const double ijk[3] = {static_cast<double>(v % grid.nx()), static_cast<double>((v / grid.nx()) % grid.ny()),
                               static_cast<double>(v / (grid.nx() * grid.ny()))};
        for (std::size_t r = 0; r < 3; ++r)
            sum[r] += toWorld[r][0] * ijk[0] + toWorld[r][1] * ijk[1] + toWorld[r][2] * ijk[2] + toWorld[r][3];
    }
    const double n = voxels.empty() ? 1.0 : static_cast<double>(voxels.size());
    definition["CentroidMm"] = voxels.empty() ? nlohmann::ordered_json(nullptr)
                                              : nlohmann::ordered_json({sum[0] / n, sum[1] / n, sum[2] / n});
    return definition;
}

}  // namespace ldi
