// The inputs of a run as the engine takes them, made from the set-up: the VTC
// files opened once each, the reference time course of every selected VOI in
// every source file, the measure volumes and work objects, and the engine's
// description of the run.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "engine/engine_input.h"

namespace ldi {

struct AnalysisContext;
struct AnalysisSetup;
struct SelectedVoi;
struct VoiTimeCourse;
struct VtcFile;

// Capacity of the coordinate scratch buffer (in triples) when a run starts.
constexpr int32_t VOI_SCRATCH_INITIAL_TRIPLES = 1000;

// The preparation step of a run: computes the set-up's grid size, allocates
// the coordinate scratch buffer, opens the VTC files, builds the reference
// time courses and creates the measure volumes and the statistics work
// objects. Returns 1, or the failing step's status (2 or 3) with its message
// in errorStream. Warnings (VOI voxels outside a grid) go to the log pane from
// the calling thread once the time courses are built.
int prepareReferenceTimeCourses(AnalysisContext& context, AnalysisSetup& setup, std::ostream& errorStream);

// Opens every VTC file named by the set-up's entries once (one VtcFile per
// distinct path, source and target roles shared) and links every entry's
// sourceVtc and targetVtc. Returns 1, or 3 with the failure described in
// errorStream (files opened so far stay in the context for the tear-down).
// A file shorter than the data section its header describes is refused here,
// before anything is allocated for its grid.
int openVtcFiles(AnalysisContext& context, AnalysisSetup& setup, std::ostream& errorStream);

// The VtcFile of the run opened under exactly this path, or null.
VtcFile* findVtcFile(AnalysisContext& context, const std::string& path);

// One VoiTimeCourse for every (selected VOI, source path) pair of the set-up,
// in VOI, condition, entry order; a pair met again is not rebuilt. Needs the
// entries' sourceVtc links. Returns 1, 2 when a VOI has no voxel inside a VTC's
// grid, 3 when a VTC could not be read; the message is in errorStream.
// Voxels outside the grid are reported as warnings: appended to `warnings`
// when given (for a caller on another thread than the host's), otherwise
// written into the log pane at once.
int buildVoiTimeCourses(AnalysisContext& context, AnalysisSetup& setup, std::ostream& errorStream,
                        std::vector<std::string>* warnings = nullptr);

// The record of this VOI (matched by its hostIndex) and this source path
// (exact text), or null.
VoiTimeCourse* findVoiTimeCourse(AnalysisContext& context, const SelectedVoi& voi, const std::string& sourcePath);
const VoiTimeCourse* findVoiTimeCourse(const AnalysisContext& context, const SelectedVoi& voi,
                                       const std::string& sourcePath);

// The engine's description of the prepared run: every open file as a source,
// every selected VOI as a seed with its reference time courses, every
// condition with its entries and intervals, the context's seed and options.
// Links into the context and the set-up, which must outlive it.
EngineInput engineInputOf(AnalysisContext& context, const AnalysisSetup& setup);

}  // namespace ldi
