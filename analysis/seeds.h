// The seeds of an analysis on the runs' grid: the voxels of a mask or the
// voxel centres of a sphere in world millimetres, and a seed's reference
// time course in a run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis/analysis_request.h"
#include "analysis/nifti_source.h"
#include "formats/nifti_image.h"
#include "stats/matrix.h"

namespace ldi {

// "NAME=MASK.nii.gz" or "NAME=X,Y,Z,R" as a request (the mask is read later,
// on the runs' grid). False with a message quoting the text.
bool parseSeedText(const std::string& text, SeedRequest& seed, std::string& problem);

// The voxels of the grid ([z][y][x] indices, ascending) whose centres lie
// within `radius` mm of world point (x, y, z), the boundary included. False
// with a message when the affine cannot be inverted, the centre lies outside
// the grid or no voxel centre is that close. `what` names the seed and the
// grid's file in messages.
bool sphereVoxels(const NiftiHeader& grid, const std::array<double, 4>& sphere, const std::string& seedName,
                  const std::string& gridPath, std::vector<int64_t>& voxels, std::string& problem);

// A 3D image on the grid of `grid`: its values, or false with a message that
// names `what` and asks for resampling when it lies on another grid.
bool readMaskOnGrid(const std::string& path, const NiftiHeader& grid, const std::string& gridPath,
                    const std::string& what, std::vector<float>& values, std::string& problem);

// Indices of the values that are neither zero nor NaN, ascending.
std::vector<int64_t> nonzeroVoxels(const std::vector<float>& values);

// The seed's voxels on the grid. False with a message (a mask holding no
// voxel, flags of another size, a sphere as sphereVoxels refuses it).
bool seedVoxels(const SeedRequest& seed, const NiftiHeader& grid, const std::string& gridPath,
                std::vector<int64_t>& voxels, std::string& problem);

// The space of the grid's world coordinates as the sidecars name it: the
// sform's code when set ("sform mni_152"), else the qform's, else
// "none (voxel sizes)".
std::string worldSpaceName(const NiftiHeader& grid);

// What a seed is, for the maps' provenance: its shape, the sphere's centre
// and radius in world mm or the mask file as the run records it (its path
// and the SHA-256 among the run's inputs), the voxels it holds and their
// centroid in world mm.
nlohmann::ordered_json seedDefinition(const SeedRequest& seed, const NiftiHeader& grid,
                                      const std::vector<int64_t>& voxels, const MapRunRecord& run);

// The reference time course of a seed in one run: the plain mean of its
// voxels, summed in ascending voxel order in float32, into `out` (1 x volumes).
bool seedMean(SliceSource& source, const std::vector<int64_t>& voxels, Matrix& out, std::string& problem);

}  // namespace ldi
