// The runs of an analysis: opened and checked against each other before any
// data are read (one grid, enough volumes, a repetition time for events),
// then read into slice sources, regressed as they are read when confounds
// are given; the voxels usable in every run and the voxels analysed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "analysis/analysis_request.h"
#include "analysis/nifti_source.h"
#include "analysis/run_quality.h"
#include "formats/bids_inputs.h"
#include "formats/nifti_image.h"

namespace ldi {

struct OpenedRun {
    std::string path;
    NiftiReader reader;   // opened, positioned at the first volume not read yet until loaded (a file run)
    // The first volumes of a file run when they were read before the load
    // (non_steady_state.h): the load takes them first, then the reader's.
    std::vector<float> readAlready;
    int32_t volumesReadAlready = 0;
    const RunArray* array = nullptr;  // the request's, for a run held in memory
    NiftiHeader header;   // the grid and length the maps take from the run
    double tr = 0.0;      // seconds; 0 when nothing gives it
    std::string trSource;  // "option", "dataset", "sidecar" or "header": where tr came from
    std::string trFile;    // the sidecar that gave tr, or ""
    std::vector<Event> events;
    std::unique_ptr<SliceSource> source;  // after loadRuns
    std::vector<uint8_t> usable;          // after loadRuns: per voxel, finite and varying from the skip on
    int64_t heldBytes = 0;                // after loadRuns: its data held in memory (0: spilled, or read where it lies)
    std::vector<float> mean;              // after loadRuns, of the first run: its mean image (loadRun)
    // After loadRuns: its temporal SNR and carpet, taken as it was read. The
    // carpet's voxels may be chosen before (a seed's among them); else
    // loadRun samples them.
    RunQuality quality;
};

// The run's header as given: the file's, or the in-memory run's.
const NiftiHeader& givenHeader(const OpenedRun& run);

// Whether the run comes with events (a file or a table).
bool hasEvents(const RunRequest& run);

// Opens and checks every run of the request, reads its events; warnings for
// what is used but suspicious (a sidecar and a header that disagree). False
// with a message naming the file.
bool openRuns(const AnalysisRequest& request, std::vector<std::unique_ptr<OpenedRun>>& runs,
              std::vector<std::string>& warnings, std::string& problem);

// The header of a run whose confounds were regressed out: float32, NIfTI-2,
// the repetition time `tr` (its maps carry this header).
NiftiHeader regressedRunHeader(const NiftiHeader& bold, double tr);

// Reads every opened run into its slice source (the runs held in memory take
// at most `request.budgets.inMemory` together; the others spill into
// `request.outputFolder`, or the temporary folder without one), judging
// voxels from volume `request.skip` on. False with a message.
// With `held` (a flag per voxel; empty: every voxel), the runs held in
// memory keep only the flagged voxels' values (NiftiSliceSource::holdOnly).
bool loadRuns(const AnalysisRequest& request, std::vector<std::unique_ptr<OpenedRun>>& runs,
              const std::vector<uint8_t>& held, std::string& problem);

// Reads a run through the regression of `table`'s confounds over the
// volumes from `first` on: once for the fit, once more into `source` (from
// what the first reading kept, when the run is within the budgets'
// keptBetweenReadings and half their inMemory).
bool loadRegressedRun(NiftiReader& reader, const ConfoundTable& table, int32_t first, const std::string& spillFolder,
                      const SourceBudgets& budgets, int threads, const LoadProgress& progress,
                      NiftiSliceSource& source, std::string& problem);

// The volumes of a run from the first, each time it is called: a regression
// may read its run twice.
using FeedOpener = std::function<bool(VolumeFeed& feed, std::string& problem)>;

// The run of `reader` from its first volume each time it is called: the
// opened reader first, then `again` opened anew on its file.
FeedOpener readerOpener(NiftiReader& reader, NiftiReader& again);

// The same through any feed of the run's volumes.
// Both readings read ahead with `threads` > 1 (NiftiSliceSource::load).
bool loadRegressedFeed(const FeedOpener& open, const ConfoundTable& table, int32_t first,
                       const std::string& spillFolder, const SourceBudgets& budgets, int threads,
                       const LoadProgress& progress, NiftiSliceSource& source, std::string& problem);

// The threads the request asks for, at most the cores the process may use:
// more than cores only add start-up and contention (4096 threads on 2 cores
// took 60 times as long), so the request is a most, not a demand. 0: the
// computation's default (stats/parallel.h threadCountFor).
int requestedThreads(const AnalysisRequest& request);

// Reads one opened run into its source: an in-memory run is read where it
// lies (an ArraySliceSource) unless it is regressed; everything else goes
// through a NiftiSliceSource, held when it fits `budgets`, read ahead on a
// thread of its own when the request's threads allow more than one. With
// `mean`, also the mean over time of its volumes as given (before any
// regression; a value that is not finite counts as 0): the picture's
// underlay, taken on the way rather than by inflating the run once more.
// `held`: as for loadRuns. False with a message.
bool loadRun(const AnalysisRequest& request, const RunRequest& given, OpenedRun& run, const std::string& spillFolder,
             const SourceBudgets& budgets, const LoadProgress& progress, std::vector<float>* mean,
             const std::vector<uint8_t>& held, std::string& problem);

// Voxels usable in every run: finite and varying from the judged volume on.
std::vector<uint8_t> usableInEveryRun(const std::vector<std::unique_ptr<OpenedRun>>& runs);

// The flags of the brain masks on the grid: inside every one of them
// (neither zero nor NaN). False with a message naming a mask off the grid.
bool readBrainMasks(const std::vector<std::string>& paths, const NiftiHeader& grid, const std::string& gridPath,
                    std::vector<uint8_t>& inside, std::string& problem);

}  // namespace ldi
