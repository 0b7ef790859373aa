// The record that describes one run: the global parameters, the reference
// VOIs, the conditions with their VTC entries and intervals, the output
// prefix and the VTC geometry that every selected file must share.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "config/global_parameters.h"
#include "data/interval.h"

namespace ldi {

struct VtcFile;

// One VTC file (single mode: sourcePath == targetPath) or one source/target
// pair, with the intervals taken from it.
struct VtcEntry {
    std::string sourcePath;  // the reference (VOI) time course comes from here
    std::string targetPath;  // the voxel time courses that are mapped
    std::vector<Interval> intervals;
    // Links into the run's list of open files, set just before the analysis.
    // Not owned.
    VtcFile* sourceVtc = nullptr;
    VtcFile* targetVtc = nullptr;
};

struct Condition {
    std::string name;  // never empty, unique in the set-up (case-sensitive)
    // A deque, so that a reference returned by addVtcEntry stays valid while
    // further entries are appended.
    std::deque<VtcEntry> entries;
};

// A reference VOI copied from the host's VOI list when the user selected it.
struct SelectedVoi {
    std::string name;
    int32_t hostIndex = -1;   // 0-based position in the host's list; the VOI's identity
    int32_t voxelCount = 0;
    // voxelCount (x, y, z) triples in host memory: borrowed, never copied or freed.
    const int32_t* voxels = nullptr;
    int32_t coordsConvention = 0;  // nonzero: the coordinates need the axis conversion
};

struct AnalysisSetup {
    GlobalParameters parameters;
    std::string outputPrefix;  // empty until the set-up completes
    std::vector<SelectedVoi> vois;
    // A deque, so that a reference returned by addCondition stays valid while
    // further conditions are appended.
    std::deque<Condition> conditions;

    // Geometry shared by every selected VTC file; -1 means not set yet.
    int32_t xStart = -1;
    int32_t xEnd = -1;
    int32_t yStart = -1;
    int32_t yEnd = -1;
    int32_t zStart = -1;
    int32_t zEnd = -1;
    int32_t resolution = -1;
    int32_t maxVolumes = -1;  // largest number of volumes among the accepted files
    // The VTC grid, computed just before the analysis.
    int32_t dimX = 0;
    int32_t dimY = 0;
    int32_t dimZ = 0;
};

// True when a selected VOI has that position in the host's list.
bool isVoiSelected(const AnalysisSetup& setup, int32_t hostIndex);

// True when a condition has exactly that name.
bool hasCondition(const AnalysisSetup& setup, const std::string& name);

// Appends a condition with that name and no entries; the reference stays
// valid while more conditions are appended.
Condition& addCondition(AnalysisSetup& setup, const std::string& name);

// True when an entry has both the same source and the same target path
// (exact texts, no normalisation).
bool hasVtcEntry(const Condition& condition, const std::string& sourcePath,
                 const std::string& targetPath);

// Appends an entry with those paths, no intervals and no file links; the
// reference stays valid while more entries are appended.
VtcEntry& addVtcEntry(Condition& condition, const std::string& sourcePath,
                      const std::string& targetPath);

}  // namespace ldi
