#include "analysis/run_set.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "analysis/memory_budget.h"
#include "analysis/seeds.h"
#include "analysis/volume_batches.h"
#include "stats/confound_regression.h"
#include "stats/parallel.h"
#include "stats/volume_scans.h"

namespace ldi {

namespace {

namespace fs = std::filesystem;

bool checkRunShape(const OpenedRun& run, const OpenedRun* first, int32_t skip, std::string& problem) {
    const NiftiHeader& h = givenHeader(run);
    int64_t beyond = 1;
    for (std::size_t i = 5; i < 8; ++i) beyond *= h.dim[i];
    if (h.rank < 4 || h.volumes() < 2 || beyond > 1) {
        problem = run.path + ": a bold run is a 4D image of several volumes; this one has " + std::to_string(h.rank) +
                  " dimensions (" + gridText(h) + " x " + std::to_string(h.volumes() * beyond) + ")";
        return false;
    }
    if (h.volumes() > INT32_MAX) {
        problem = run.path + ": " + std::to_string(h.volumes()) + " volumes; a run holds at most " +
                  std::to_string(INT32_MAX);
        return false;
    }
    if (first != nullptr && !sameGrid(givenHeader(*first), h)) {
        problem = "the runs " + first->path + " (" + gridText(givenHeader(*first)) + ") and " + run.path + " (" +
                  gridText(h) + ") are on different grids (dimensions, or affines more than 0.001 mm apart)";
        return false;
    }
    if (skip >= h.volumes()) {
        problem = run.path + ": --skip " + std::to_string(skip) + " leaves none of its " +
                  std::to_string(h.volumes()) + " volumes";
        return false;
    }
    return true;
}

std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", seconds);
    return text;
}

// The header's repetition time when it states one: pixdim[4] in a unit of
// time (or none, which scanners write for seconds), and not the 0 or 1 that
// tools write for a 4D image whose timing they do not know.
double statedHeaderRepetitionTime(const NiftiHeader& header) {
    // xyzt_units' time bits (NIfTI-1): none, s, ms, us; Hz and ppm are no time.
    const int unit = header.xyztUnits & 0x38;
    const bool unknownUnit = unit == 0, timeUnit = unit == 8 || unit == 16 || unit == 24;
    if (!(unknownUnit || timeUnit) || (header.pixdim[4] == 1.0 && unknownUnit)) return 0.0;
    return headerRepetitionTime(header);
}

// A repetition time that the header contradicts is used as before (results
// do not move under the user), but said: the events' intervals depend on it.
void warnAgainstHeader(const std::string& run, double used, const std::string& source, const NiftiHeader& header,
                       std::vector<std::string>& warnings) {
    const double stated = statedHeaderRepetitionTime(header);
    if (!(stated > 0.0) || std::fabs(used - stated) <= 1e-3 * used) return;
    warnings.push_back(run + ": the repetition time " + secondsText(used) + " from " + source +
                       " is used, but the NIfTI header's pixdim[4] says " + secondsText(stated) +
                       "; the events' volumes follow the one used: correct the wrong one (or give --tr)");
}

// The request's, else the run's own, else its sidecar's, else its header's.
// A value read from a sidecar is recorded as the sidecar's, whichever front
// end read it (ldi bids finds it among the dataset's inherited sidecars).
bool repetitionTime(const AnalysisRequest& request, const RunRequest& given, const NiftiHeader& header,
                    double& tr, std::string& source, std::string& file, std::vector<std::string>& warnings,
                    std::string& problem) {
    file.clear();
    if (request.tr > 0.0 || given.tr > 0.0) {
        tr = request.tr > 0.0 ? request.tr : given.tr;
        source = request.tr > 0.0 ? "option" : given.trFile.empty() ? "dataset" : "sidecar";
        if (request.tr <= 0.0) file = given.trFile;
        const std::string origin = request.tr > 0.0 ? request.trSource
                                                    : (given.trSource.empty() ? "the request" : given.trSource);
        warnAgainstHeader(given.path, tr, origin, header, warnings);
        return true;
    }
    if (given.array) {
        tr = headerRepetitionTime(header);
        source = "header";
        return true;
    }
    double sidecarTr = 0.0;
    bool sidecarFound = false;
    if (!sidecarRepetitionTime(given.path, sidecarTr, sidecarFound, problem)) return false;
    if (sidecarFound) warnAgainstHeader(given.path, sidecarTr, "the sidecar " + sidecarPath(given.path), header, warnings);
    tr = sidecarFound ? sidecarTr : headerRepetitionTime(header);
    source = sidecarFound ? "sidecar" : "header";
    if (sidecarFound) file = sidecarPath(given.path);
    return true;
}

// Events in seconds are placed with the repetition time: one far from any
// scanner's (1e-300 s from a broken sidecar) would put every event beyond the run.
bool plausibleRepetitionTime(const std::string& path, double tr, std::string& problem) {
    if (std::isfinite(tr) && tr >= 1e-3 && tr <= 1e4) return true;
    char text[48];
    std::snprintf(text, sizeof text, "%g", tr);
    problem = path + ": the repetition time " + text +
              " s (from --tr, the sidecar or the header) is not one of a scanner (1 ms to 10000 s); give --tr";
    return false;
}

// Reads the volumes of an in-memory run, volume after volume, as a file would give them.
VolumeFeed arrayFeed(const std::string& name, const RunArray& array) {
    VolumeFeed feed;
    feed.name = name;
    feed.header = array.header;
    auto next = std::make_shared<int64_t>(0);
    const bool contiguous = array.strides == volumeOrderStrides(array.header);
    feed.next = [&array, next, contiguous](float* volume, std::string&) {
        const NiftiHeader& h = array.header;
        const float* at = array.values + *next * array.strides[3];
        ++*next;
        if (contiguous) {
            std::copy(at, at + h.voxelsPerVolume(), volume);
            return true;
        }
        for (int64_t z = 0; z < h.nz(); ++z)
            for (int64_t y = 0; y < h.ny(); ++y)
                for (int64_t x = 0; x < h.nx(); ++x)
                    *volume++ = at[x * array.strides[0] + y * array.strides[1] + z * array.strides[2]];
        return true;
    };
    feed.finish = [](std::string&) { return true; };
    return feed;
}

// The run's volumes from the first: those read before the load from memory,
// each handed back to the system once given, then the reader's.
VolumeFeed resumedFeed(OpenedRun& run) {
    VolumeFeed feed = readerFeed(run.reader);
    if (run.volumesReadAlready <= 0) return feed;
    struct Kept {
        std::vector<float> values;
        int32_t count = 0;
        int32_t given = 0;
    };
    auto kept = std::make_shared<Kept>(Kept{std::move(run.readAlready), run.volumesReadAlready, 0});
    run.volumesReadAlready = 0;
    const auto voxels = static_cast<std::size_t>(feed.header.voxelsPerVolume());
    feed.next = [kept, voxels, fromFile = feed.next](float* volume, std::string& problem) {
        if (kept->given == kept->count) return fromFile(volume, problem);
        std::memcpy(volume, kept->values.data() + static_cast<std::size_t>(kept->given) * voxels,
                    voxels * sizeof(float));
        if (++kept->given == kept->count) std::vector<float>().swap(kept->values);
        return true;
    };
    return feed;
}

// The voxels of a run's carpet plot: enough rows for a picture, few enough
// that their values in every volume take a few megabytes.
constexpr std::size_t CARPET_VOXELS = 3000;

// The feed as given, adding every volume into `sum` when there is one (a
// value that is not finite counts as 0) and into the run's quality figures,
// as the reader takes it.
VolumeFeed observed(VolumeFeed feed, std::vector<double>* sum, RunQuality& quality, const std::vector<uint8_t>& held,
                    int32_t skip) {
    const int64_t voxels = feed.header.voxelsPerVolume();
    quality.carpetVoxels = carpetSample(voxels, held, quality.carpetVoxels, CARPET_VOXELS);
    startRunQuality(quality, voxels, static_cast<int32_t>(feed.header.volumes()), skip);
    if (sum != nullptr) sum->assign(static_cast<std::size_t>(voxels), 0.0);
    feed.seen = [sum, &quality](const float* volumes, int32_t first, int32_t count) {
        if (sum != nullptr) addFiniteValues(sum->data(), volumes, sum->size(), count);
        addRunQuality(quality, volumes, quality.sum.size(), first, count);
    };
    return feed;
}

std::vector<float> meanOf(const std::vector<double>& sum, int64_t volumes) {
    std::vector<float> mean(sum.size());
    const auto count = static_cast<double>(std::max<int64_t>(1, volumes));
    for (std::size_t v = 0; v < sum.size(); ++v) mean[v] = static_cast<float>(sum[v] / count);
    return mean;
}

}  // namespace

// One run into its source: an in-memory run read where it lies unless it is
// regressed; a file run, or a regressed one, into a NiftiSliceSource.
bool loadRun(const AnalysisRequest& request, const RunRequest& given, OpenedRun& run, const std::string& spillFolder,
             const SourceBudgets& budgets, const LoadProgress& progress, std::vector<float>* mean,
             const std::vector<uint8_t>& held, std::string& problem) {
    std::vector<double> sum;
    // The volumes as given, before any regression: the first feed opened.
    bool first = true;
    const auto taken = [&](VolumeFeed feed) -> VolumeFeed {
        if (!first) return feed;
        first = false;
        return observed(std::move(feed), mean != nullptr ? &sum : nullptr, run.quality, held, request.skip);
    };
    const auto finished = [&] {
        if (mean != nullptr) *mean = meanOf(sum, givenHeader(run).volumes());
        finishRunQuality(run.quality);
    };
    if (run.array && !given.confounds) {
        auto source = std::make_unique<ArraySliceSource>();
        if (!source->load(run.path, *run.array, request.skip, problem)) return false;
        {
            // Read where it lies, so its volumes go through a feed for the mean and the quality alone.
            VolumeFeed feed = taken(arrayFeed(run.path, *run.array));
            std::vector<float> volume(static_cast<std::size_t>(feed.header.voxelsPerVolume()));
            for (int32_t t = 0; t < static_cast<int32_t>(feed.header.volumes()); ++t)
                if (feed.next(volume.data(), problem)) feed.seen(volume.data(), t, 1);
            finished();
        }
        run.usable = source->usable();
        run.source = std::move(source);
        return true;
    }
    auto source = std::make_unique<NiftiSliceSource>();
    if (!held.empty()) source->holdOnly(held);
    const int threads = threadCountFor(requestedThreads(request));
    bool loaded = false;
    if (given.confounds && run.array) {
        const FeedOpener open = [&](VolumeFeed& feed, std::string&) {
            feed = taken(arrayFeed(run.path, *run.array));
            return true;
        };
        loaded = loadRegressedFeed(open, *given.confounds, request.skip, spillFolder, budgets, threads, progress,
                                   *source, problem);
    } else if (given.confounds) {
        NiftiReader again;
        const FeedOpener fromFile = readerOpener(run.reader, again);
        const FeedOpener open = [&](VolumeFeed& feed, std::string& failure) {
            if (!fromFile(feed, failure)) return false;
            feed = taken(std::move(feed));
            return true;
        };
        loaded = loadRegressedFeed(open, *given.confounds, request.skip, spillFolder, budgets, threads, progress,
                                   *source, problem);
    } else {
        loaded = source->load(taken(resumedFeed(run)), request.skip, spillFolder, budgets, threads, progress,
                              problem);
    }
    if (!loaded) return false;
    finished();
    run.heldBytes = source->heldBytes();
    run.usable = source->usable();
    run.source = std::move(source);
    return true;
}

int requestedThreads(const AnalysisRequest& request) {
    return request.threads > 0 ? std::min(request.threads, availableCoreCount()) : 0;
}

const NiftiHeader& givenHeader(const OpenedRun& run) { return run.array ? run.array->header : run.reader.header(); }

bool hasEvents(const RunRequest& run) { return !run.events.empty() || run.eventTable.has_value(); }

NiftiHeader regressedRunHeader(const NiftiHeader& bold, double tr) {
    const std::string bytes = encodeNiftiRunHeader(bold, bold.volumes(), tr, "LDI confound-regressed run");
    NiftiHeader header;
    std::size_t needed = 0;
    std::string problem;
    decodeNiftiHeader(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), header, needed, problem);
    return header;
}

bool openRuns(const AnalysisRequest& request, std::vector<std::unique_ptr<OpenedRun>>& runs,
              std::vector<std::string>& warnings, std::string& problem) {
    runs.clear();
    const bool withEvents = !request.runs.empty() && hasEvents(request.runs.front());
    for (const RunRequest& given : request.runs) {
        auto run = std::make_unique<OpenedRun>();
        run->path = given.path;
        if (given.array) run->array = &*given.array;
        else if (!run->reader.open(run->path, problem)) return false;
        if (!checkRunShape(*run, runs.empty() ? nullptr : runs.front().get(), request.skip, problem)) return false;
        run->header = givenHeader(*run);
        if (!repetitionTime(request, given, run->header, run->tr, run->trSource, run->trFile, warnings, problem)) return false;
        // A regressed run is float32 with the repetition time it was analysed with.
        if (given.confounds)
            run->header = regressedRunHeader(run->header, given.tr > 0.0 ? given.tr : headerRepetitionTime(run->header));
        if (hasEvents(given) != withEvents) {
            problem = "give every run its events file, or none (" + run->path + ")";
            return false;
        }
        if (withEvents) {
            // A header's pixdim[4] of 0, or of 1 without a time unit, is what tools write when they do not know
            // the timing: placing events with it would put them at the wrong volumes without a word.
            if (!(run->tr > 0.0) || (run->trSource == "header" && !(statedHeaderRepetitionTime(run->header) > 0.0))) {
                char header[96];
                std::snprintf(header, sizeof header, "the header's pixdim[4] = %g with time unit code %d",
                              run->header.pixdim[4], run->header.xyztUnits & 0x38);
                problem = run->path + ": no repetition time (no sidecar RepetitionTime, and " + header +
                          " states none), so events in seconds cannot be placed; give --tr";
                return false;
            }
            if (given.eventTable) run->events = *given.eventTable;
            else if (!readEventsFile(given.events, taskConditionName(run->path), run->events, problem)) return false;
            if (!plausibleRepetitionTime(run->path, run->tr, problem)) return false;
            if (std::fabs(request.shift) > static_cast<double>(run->header.volumes()) * run->tr) {
                problem = "shift " + std::to_string(request.shift) + ": longer than the run " + run->path + " (" +
                          std::to_string(run->header.volumes()) + " volumes of " + std::to_string(run->tr) + " s)";
                return false;
            }
            if (!checkEventTimes(run->events, given.events, run->tr, request.shift, run->header.volumes(), problem))
                return false;
        }
        runs.push_back(std::move(run));
    }
    return true;
}

FeedOpener readerOpener(NiftiReader& reader, NiftiReader& again) {
    auto opened = std::make_shared<bool>(false);
    return [&reader, &again, opened](VolumeFeed& feed, std::string& failure) {
        if (*opened && !again.open(reader.path(), failure)) return false;
        feed = readerFeed(*opened ? again : reader);
        *opened = true;
        return true;
    };
}

bool loadRegressedRun(NiftiReader& reader, const ConfoundTable& table, int32_t first, const std::string& spillFolder,
                      const SourceBudgets& budgets, int threads, const LoadProgress& progress,
                      NiftiSliceSource& source, std::string& problem) {
    NiftiReader again;
    return loadRegressedFeed(readerOpener(reader, again), table, first, spillFolder, budgets, threads, progress,
                             source, problem);
}

bool loadRegressedFeed(const FeedOpener& open, const ConfoundTable& table, int32_t first,
                       const std::string& spillFolder, const SourceBudgets& budgets, int threads,
                       const LoadProgress& progress, NiftiSliceSource& source, std::string& problem) {
    VolumeFeed fit;
    if (!open(fit, problem)) return false;
    const std::string path = fit.name;
    const auto volumes = static_cast<int32_t>(fit.header.volumes());
    const auto voxels = static_cast<std::size_t>(fit.header.voxelsPerVolume());
    ConfoundBasis basis;
    if (!buildConfoundBasis(table.columns, table.names, volumes, first, basis, problem)) {
        problem = path + ": " + problem;
        return false;
    }
    std::vector<double> coefficients(basis.vectors.size() * voxels, 0.0);
    const std::size_t runValues = voxels * static_cast<std::size_t>(volumes);
    const int64_t runBytes = static_cast<int64_t>(runValues * sizeof(float));
    const bool keep = runBytes <= std::min(budgets.keptBetweenReadings, resolvedBudgets(budgets).inMemory / 2);
    LargeArray<float> kept = keep ? makeLargeArray<float>(runValues) : LargeArray<float>();
    {
        // The fit sums over the volumes in order: read ahead, as the load below.
        VolumeBatches batches(fit, volumes, threads);
        VolumeBatch batch;
        for (int32_t done = 0; done < volumes; done = batch.first + batch.count) {
            if (!batches.next(batch, problem)) return false;
            for (int32_t k = 0; k < batch.count; ++k)
                addToConfoundCoefficients(basis, batch.first + k, batch.values + k * voxels, voxels, coefficients);
            if (keep)
                std::copy(batch.values, batch.values + static_cast<std::size_t>(batch.count) * voxels,
                          kept.get() + static_cast<std::size_t>(batch.first) * voxels);
        }
        if (!batches.finish(problem)) return false;
    }

    const RunArray keptRun{kept.get(), volumeOrderStrides(fit.header), fit.header};
    VolumeFeed again;
    if (keep) again = arrayFeed(fit.name, keptRun);
    else if (!open(again, problem)) return false;
    int32_t next = 0;
    VolumeFeed feed = again;
    feed.next = [&](float* out, std::string& failure) {
        if (!again.next(out, failure)) return false;
        removeConfounds(basis, next++, coefficients, out, voxels);
        return true;
    };
    return source.load(feed, first, spillFolder, budgets, threads, progress, problem);
}

bool loadRuns(const AnalysisRequest& request, std::vector<std::unique_ptr<OpenedRun>>& runs,
              const std::vector<uint8_t>& held, std::string& problem) {
    const auto started = std::chrono::steady_clock::now();
    std::error_code error;
    const std::string spillFolder = !request.workFolder.empty()  ? request.workFolder
                                    : request.outputFolder.empty() ? fs::temp_directory_path(error).string()
                                                                   : request.outputFolder;
    // The runs share one budget, so that those held take no more than it
    // together: each is held while it fits what the runs before left.
    SourceBudgets budgets = resolvedBudgets(request.budgets);
    for (std::size_t r = 0; r < runs.size(); ++r) {
        OpenedRun& run = *runs[r];
        int lastShown = -1;
        // Large runs take a while: their share read is shown, but not for runs read at once.
        const LoadProgress progress = [&](int64_t done, int64_t total) {
            const int percent = static_cast<int>(done * 100 / total) / 10 * 10;
            if (!request.progress || percent == lastShown) return;
            if (std::chrono::steady_clock::now() - started < std::chrono::seconds(2)) return;
            lastShown = percent;
            request.progress("reading " + run.path + ": " + std::to_string(percent) + "%");
        };
        const RunRequest& given = request.runs[r];
        if (given.confounds && request.progress)
            request.progress("regressing " + std::to_string(given.confounds->names.size()) + " confounds out of " +
                             run.path);
        if (!loadRun(request, given, run, spillFolder, budgets, progress, r == 0 ? &run.mean : nullptr, held,
                     problem))
            return false;
        budgets.inMemory = std::max<int64_t>(budgets.inMemory - run.heldBytes, 0);
    }
    return true;
}

std::vector<uint8_t> usableInEveryRun(const std::vector<std::unique_ptr<OpenedRun>>& runs) {
    std::vector<uint8_t> usable(static_cast<std::size_t>(runs.front()->header.voxelsPerVolume()), 1);
    for (const auto& run : runs)
        for (std::size_t v = 0; v < usable.size(); ++v) usable[v] = usable[v] & run->usable[v];
    return usable;
}

bool readBrainMasks(const std::vector<std::string>& paths, const NiftiHeader& grid, const std::string& gridPath,
                    std::vector<uint8_t>& inside, std::string& problem) {
    inside.assign(static_cast<std::size_t>(grid.voxelsPerVolume()), 1);
    for (const std::string& path : paths) {
        std::vector<float> values;
        if (!readMaskOnGrid(path, grid, gridPath, "mask", values, problem)) return false;
        for (std::size_t v = 0; v < inside.size(); ++v)
            inside[v] = inside[v] != 0 && values[v] != 0.0f && !std::isnan(values[v]) ? 1 : 0;
    }
    return true;
}

}  // namespace ldi
