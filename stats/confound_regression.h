// Nuisance regression by least squares: a constant and confound columns
// (motion, CompCor, ...) fitted to every voxel's time course over the volumes
// analysed, and the fit removed, each voxel keeping its own mean. A run is
// regressed as it streams by, twice: the first pass gathers each voxel's
// coefficients on an orthonormal basis of the confounds, the second removes
// them volume by volume, so that memory holds one volume and the
// coefficients, never the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ldi {

// An orthonormal basis of the span of a constant and the confounds over the
// volumes [first, volumes), the constant's vector first.
struct ConfoundBasis {
    int32_t first = 0;
    int32_t volumes = 0;
    std::vector<std::vector<double>> vectors;  // each volumes - first long
};

// False with a message when a column has another length than the run, when
// the confounds leave no degrees of freedom, or when a column is constant or
// a combination of the others over those volumes (`names` name the columns).
bool buildConfoundBasis(const std::vector<std::vector<double>>& columns, const std::vector<std::string>& names,
                        int32_t volumes, int32_t first, ConfoundBasis& basis, std::string& problem);

// The first pass: each voxel's coefficients on the basis, basis vector after
// basis vector (coefficients[j * voxels + v]); start with zeros and add every
// volume t in order (volumes before `first` add nothing).
void addToConfoundCoefficients(const ConfoundBasis& basis, int32_t t, const float* volume, std::size_t voxels,
                               std::vector<double>& coefficients);

// The second pass: volume t with the confounds' part removed and the voxel's
// mean kept (the constant's share stays); volumes before `first` stay as they are.
void removeConfounds(const ConfoundBasis& basis, int32_t t, const std::vector<double>& coefficients, float* volume,
                     std::size_t voxels);

}  // namespace ldi
