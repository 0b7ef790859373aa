#include "analysis/run_set.h"

#include <chrono>
#include <cmath>
#include <filesystem>

#include "analysis/seeds.h"
#include "stats/confound_regression.h"

namespace ldi {

namespace {

namespace fs = std::filesystem;

bool checkRunShape(const OpenedRun& run, const OpenedRun* first, int32_t skip, std::string& problem) {
    const NiftiHeader& h = run.reader.header();
    int64_t beyond = 1;
    for (std::size_t i = 5; i < 8; ++i) beyond *= h.dim[i];
    if (h.rank < 4 || h.volumes() < 2 || beyond > 1) {
        problem = run.path + ": a bold run is a 4D image of several volumes; this one has " + std::to_string(h.rank) +
                  " dimensions (" + gridText(h) + " x " + std::to_string(h.volumes() * beyond) + ")";
        return false;
    }
    if (first != nullptr && !sameGrid(first->reader.header(), h)) {
        problem = "the runs " + first->path + " (" + gridText(first->reader.header()) + ") and " + run.path + " (" +
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

// The request's, else the run's own, else its sidecar's, else its header's.
bool repetitionTime(const AnalysisRequest& request, const RunRequest& given, const NiftiHeader& header,
                    double& tr, std::vector<std::string>& warnings, std::string& problem) {
    if (request.tr > 0.0 || given.tr > 0.0) {
        tr = request.tr > 0.0 ? request.tr : given.tr;
        return true;
    }
    double sidecarTr = 0.0;
    bool sidecarFound = false;
    if (!sidecarRepetitionTime(given.path, sidecarTr, sidecarFound, problem)) return false;
    const double headerTr = headerRepetitionTime(header);
    if (sidecarFound && headerTr > 0.0 && std::fabs(sidecarTr - headerTr) > 1e-3 * sidecarTr)
        warnings.push_back(given.path + ": the sidecar's RepetitionTime " + std::to_string(sidecarTr) +
                           " s differs from the header's " + std::to_string(headerTr) + " s; the sidecar's is used");
    tr = sidecarFound ? sidecarTr : headerTr;
    return true;
}

}  // namespace

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
    const bool withEvents = !request.runs.empty() && !request.runs.front().events.empty();
    for (const RunRequest& given : request.runs) {
        auto run = std::make_unique<OpenedRun>();
        run->path = given.path;
        if (!run->reader.open(run->path, problem)) return false;
        if (!checkRunShape(*run, runs.empty() ? nullptr : runs.front().get(), request.skip, problem)) return false;
        run->header = run->reader.header();
        if (!repetitionTime(request, given, run->header, run->tr, warnings, problem)) return false;
        // A regressed run is float32 with the repetition time it was analysed with.
        if (given.confounds)
            run->header = regressedRunHeader(run->header, given.tr > 0.0 ? given.tr : headerRepetitionTime(run->header));
        if (given.events.empty() != !withEvents) {
            problem = "give every run its events file, or none (" + run->path + ")";
            return false;
        }
        if (withEvents) {
            if (!(run->tr > 0.0)) {
                problem = run->path + ": no repetition time (no sidecar RepetitionTime, no pixdim[4] in the header), "
                                      "so events in seconds cannot be placed; give --tr";
                return false;
            }
            if (!readEventsFile(given.events, run->events, problem)) return false;
        }
        runs.push_back(std::move(run));
    }
    return true;
}

bool loadRegressedRun(NiftiReader& reader, const ConfoundTable& table, int32_t first, const std::string& spillFolder,
                      const SourceBudgets& budgets, const LoadProgress& progress, NiftiSliceSource& source,
                      std::string& problem) {
    const std::string path = reader.path();
    const auto volumes = static_cast<int32_t>(reader.header().volumes());
    const auto voxels = static_cast<std::size_t>(reader.header().voxelsPerVolume());
    ConfoundBasis basis;
    if (!buildConfoundBasis(table.columns, table.names, volumes, first, basis, problem)) {
        problem = path + ": " + problem;
        return false;
    }
    std::vector<double> coefficients(basis.vectors.size() * voxels, 0.0);
    std::vector<float> volume(voxels);
    for (int32_t t = 0; t < volumes; ++t) {
        if (!reader.readVolume(volume.data(), problem)) return false;
        addToConfoundCoefficients(basis, t, volume.data(), voxels, coefficients);
    }
    if (!reader.finish(problem)) return false;

    NiftiReader again;
    if (!again.open(path, problem)) return false;
    int32_t next = 0;
    VolumeFeed feed;
    feed.name = path;
    feed.header = again.header();
    feed.next = [&](float* out, std::string& failure) {
        if (!again.readVolume(out, failure)) return false;
        removeConfounds(basis, next++, coefficients, out, voxels);
        return true;
    };
    feed.finish = [&](std::string& failure) { return again.finish(failure); };
    return source.load(feed, first, spillFolder, budgets, progress, problem);
}

bool loadRuns(const AnalysisRequest& request, std::vector<std::unique_ptr<OpenedRun>>& runs, std::string& problem) {
    const auto started = std::chrono::steady_clock::now();
    std::error_code error;
    const std::string spillFolder =
        request.outputFolder.empty() ? fs::temp_directory_path(error).string() : request.outputFolder;
    for (std::size_t r = 0; r < runs.size(); ++r) {
        OpenedRun& run = *runs[r];
        run.source = std::make_unique<NiftiSliceSource>();
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
        if (given.confounds) {
            if (request.progress)
                request.progress("regressing " + std::to_string(given.confounds->names.size()) + " confounds out of " +
                                 run.path);
            if (!loadRegressedRun(run.reader, *given.confounds, request.skip, spillFolder, request.budgets, progress,
                                  *run.source, problem))
                return false;
        } else if (!run.source->load(run.reader, request.skip, spillFolder, request.budgets, progress, problem)) {
            return false;
        }
    }
    return true;
}

std::vector<uint8_t> usableInEveryRun(const std::vector<std::unique_ptr<OpenedRun>>& runs) {
    std::vector<uint8_t> usable(static_cast<std::size_t>(runs.front()->header.voxelsPerVolume()), 1);
    for (const auto& run : runs)
        for (std::size_t v = 0; v < usable.size(); ++v) usable[v] = usable[v] & run->source->usable()[v];
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
