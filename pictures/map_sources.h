// The maps and underlays pictures are drawn from, read from the files the
// project writes: .ldi sets (of ldi run, ldi map and the group level), the
// NIfTI maps with their JSON sidecars, and NIfTI images to draw under them.
#pragma once

#include <cstddef>
#include <string>

#include "formats/ldi_file.h"
#include "pictures/montage.h"

namespace ldi {

// A map set with the placement of its grid in the world.
struct PlacedSet {
    LdiFile set;
    PlacedGrid grid;
};

// The placement of a NIfTI image's grid (its sform, else qform, else voxel sizes).
PlacedGrid placedNiftiGrid(const NiftiHeader& header);

// True for a path ending in .nii or .nii.gz.
bool isNiftiPath(const std::string& path);

// A .ldi set with the passing counts of its JSON index when one lies beside
// it. Its grid is placed as the NIfTI twin of map `mapIndex` that the index
// names when that file exists and has the set's dimensions (the maps of ldi
// map and of the group level lie on their runs' grid), else by the Talairach
// placement of the plug-in's grid. False with a message.
bool readLdiSet(const std::string& path, PlacedSet& placed, std::string& problem);
void placeLdiSet(const std::string& path, std::size_t mapIndex, PlacedSet& placed);

// A 3D NIfTI map as a set of one map: its name, FDR levels and passing counts
// from its sidecar (NAME.json beside NAME.nii.gz) when it has one; negative
// colours when it holds negative values. The FDR levels of a group sidecar
// belong to its t map only. False with a message.
bool readNiftiMapSet(const std::string& path, PlacedSet& placed, std::string& problem);

// A NIfTI image to draw under a map: a 3D image as it is, a 4D run as the
// mean of its volumes. False with a message.
bool readNiftiUnderlay(const std::string& path, Underlay& underlay, std::string& problem);

// The underlay of a run's mean image already at hand, on the run's grid
// `header`, named after the run's file `path`.
Underlay meanImageUnderlay(const NiftiHeader& header, const std::vector<float>& mean, const std::string& path);

}  // namespace ldi
