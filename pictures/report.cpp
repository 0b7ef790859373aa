#include "pictures/report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "analysis/run_set.h"
#include "formats/bids_inputs.h"
#include "analysis/quality_numbers.h"
#include "formats/statmap_names.h"
#include "formats/nifti_image.h"
#include "formats/whole_file.h"
#include "pictures/map_sources.h"
#include "pictures/montage.h"
#include "pictures/quality_figures.h"
#include "pictures/report_page.h"
#include "pictures/report_parts.h"
#include "stats/parallel.h"

namespace ldi {

namespace {

namespace fs = std::filesystem;

// What the report keeps of one map while the analysis goes on.
struct MapEntry {
    std::string seed, condition, name;
    std::string png, unthresholdedPng;
    ThresholdRows levels;
    std::string method;
    bool hasP = false;
    PValueSummary p;
    ViewerMap viewer;
};

struct Collected {
    const AnalysisRequest& request;
    bool underlayRead = false;
    Underlay underlay;  // the mean image of the first run; no values when it could not be read
    std::vector<MapEntry> maps;
    std::vector<std::string> notes;  // what the report could not show, and why
    const AnalysisResults* results = nullptr;  // the seeds' voxels, known before any seed's maps
};

// The voxels of a seed as a mask of the grid, for the maps' outline; empty
// when the seed is not known.
std::vector<uint8_t> seedMask(const Collected& collected, const MapRunRecord& run, const std::string& seed) {
    std::vector<uint8_t> mask;
    if (collected.results == nullptr) return mask;
    for (const SeedOutcome& outcome : collected.results->seeds) {
        if (outcome.name != seed) continue;
        mask.assign(static_cast<std::size_t>(run.grid.voxelsPerVolume()), 0);
        for (int64_t v : outcome.voxels)
            if (v >= 0 && static_cast<std::size_t>(v) < mask.size()) mask[static_cast<std::size_t>(v)] = 1;
    }
    return mask;
}

// Every picture of a run on the same slices: all of a small grid, two dozen of a large one.
MontageOptions reportMontage(const PlacedGrid& grid) {
    MontageOptions options;
    if (worldFrame(grid).cells[2] > 30) options.sliceCount = 24;
    return options;
}

// The mean image of the first run: taken while the run was read, or, when
// the analysis has none (a record from elsewhere), read from the file.
const Underlay* runUnderlay(Collected& collected, const MapRunRecord& run) {
    if (!collected.underlayRead && !collected.request.runs.empty()) {
        collected.underlayRead = true;
        const std::string& path = collected.request.runs.front().path;
        std::string problem;
        if (run.firstRunMean) {
            collected.underlay = meanImageUnderlay(run.grid, *run.firstRunMean, path);
        } else if (!readNiftiUnderlay(path, collected.underlay, problem)) {
            collected.underlay.values.clear();
            collected.notes.push_back("the maps are drawn without an underlay: " + problem);
        }
    }
    return collected.underlay.values.empty() ? nullptr : &collected.underlay;
}

// The map as the set written for it would hold it, for the display's choice.
LdiFile mapAsSet(const MapRunRecord& run, const SeedResults& seed, std::size_t m) {
    LdiFile set = emptySeedMapSet(run);
    set.maps.push_back(seedSetMap(run, seed, m));
    return set;
}

// The p-values of the voxels that have a value.
PValueSummary mapPValues(const std::vector<float>& pValues, const std::vector<float>& values) {
    std::vector<float> kept;
    for (std::size_t v = 0; v < pValues.size() && v < values.size(); ++v)
        if (values[v] != 0.0f && std::isfinite(values[v])) kept.push_back(pValues[v]);
    return summarisePValues(std::move(kept));
}

// The report's entry of map m, over `underlay` (or none).
bool collectMap(const Underlay* underlay, const std::vector<uint8_t>& seedVoxels, const MapRunRecord& run,
                const SeedResults& seed, std::size_t m, MapEntry& entry, std::string& problem) {
    const LdiFile set = mapAsSet(run, seed, m);
    const LdiMap& map = set.maps.front();
    MapDisplay display;
    std::string notice;
    if (!chooseDisplay(set, 0, false, 0.05, display, problem, notice)) return false;
    entry.seed = seed.seedName;
    entry.condition = seed.conditionNames[m / seed.kinds.size()];
    entry.name = map.name;
    const PlacedGrid grid = placedNiftiGrid(run.grid);
    MontageOptions options = reportMontage(grid);
    options.outline = &seedVoxels;
    MapDisplay every;
    unthresholdedDisplay(map, every);
    if (!drawMontage(grid, map, display, underlay, options, entry.png, problem) ||
        !drawMontage(grid, map, every, underlay, options, entry.unthresholdedPng, problem))
        return false;
    const MapThresholds& thresholds = seed.thresholds[m];
    for (std::size_t t = 0; thresholds.searched && t < thresholds.thresholds.size(); ++t)
        entry.levels.push_back({run.parameters->qThresholdsForFDR[t], thresholds.thresholds[t],
                                t < thresholds.passing.size() ? static_cast<double>(thresholds.passing[t]) : -1.0});
    entry.method = thresholds.searched ? thresholds.method : std::string();
    if (!thresholds.pValues.empty()) {
        entry.hasP = true;
        entry.p = mapPValues(thresholds.pValues, seed.maps[m]);
    }
    // The viewer's copy holds only what the picture shows: zeros compress to almost nothing.
    std::vector<float> shown(seed.maps[m].size(), 0.0f);
    for (std::size_t v = 0; v < shown.size(); ++v)
        if (isShown(display, seed.maps[m][v]) && std::isfinite(seed.maps[m][v])) shown[v] = seed.maps[m][v];
    entry.viewer = ViewerMap{seed.seedName + ": " + map.name, encodeNiftiMap(run.grid, shown, map.name, problem),
                             display.threshold, display.top, display.isSigned};
    return !entry.viewer.nifti.empty();
}

// Every map of a seed into the report, in order. Each picture is a surface
// of its own, so they are drawn on the run's threads at once: one after the
// other they took a tenth of a whole-brain run, with a core left idle.
void collectMaps(Collected& collected, const MapRunRecord& run, const SeedResults& seed) {
    const Underlay* underlay = runUnderlay(collected, run);  // read before the pictures share it
    const std::vector<uint8_t> seedVoxels = seedMask(collected, run, seed.seedName);
    const std::size_t count = seed.maps.size();
    std::vector<MapEntry> entries(count);
    std::vector<std::string> why(count);
    std::vector<uint8_t> made(count, 0);
    WorkCounter maps(static_cast<int64_t>(count), 1);
    runOnWorkers(std::min(threadCountFor(requestedThreads(collected.request)), static_cast<int>(count)), [&](int) {
        int64_t m = 0, end = 0;
        while (maps.next(m, end)) {
            const auto i = static_cast<std::size_t>(m);
            made[i] = collectMap(underlay, seedVoxels, run, seed, i, entries[i], why[i]) ? 1 : 0;
        }
    });
    for (std::size_t m = 0; m < count; ++m) {
        if (made[m] != 0) collected.maps.push_back(std::move(entries[m]));
        else
            collected.notes.push_back("seed " + seed.seedName + ", map " + std::to_string(m) +
                                      ": not in the report: " + why[m]);
    }
}

// The seed's voxels over the underlay, on the slices that hold them.
std::string seedPicture(Collected& collected, const MapRunRecord& run, const SeedOutcome& seed,
                        std::string& problem) {
    const PlacedGrid grid = placedNiftiGrid(run.grid);
    LdiMap map;
    map.name = "seed " + seed.name;
    map.voxels.assign(static_cast<std::size_t>(grid.voxelCount()), 0.0f);
    MontageOptions options = reportMontage(grid);
    options.rangeGiven = true;
    bool first = true;
    for (int64_t v : seed.voxels) {
        map.voxels[static_cast<std::size_t>(v)] = 1.0f;
        const double i = v % grid.dim[0], j = (v / grid.dim[0]) % grid.dim[1], k = v / (grid.dim[0] * grid.dim[1]);
        const Affine& a = grid.toWorld;
        const double z = a[2][0] * i + a[2][1] * j + a[2][2] * k + a[2][3];
        options.zFrom = first ? z : std::min(options.zFrom, z);
        options.zTo = first ? z : std::max(options.zTo, z);
        first = false;
    }
    if (seed.voxels.empty()) return std::string();
    options.sliceCount = std::min(options.sliceCount == 0 ? 12 : options.sliceCount, 12);
    MapDisplay display;
    fixedDisplay(map, 0.5f, std::to_string(seed.voxels.size()) + " voxels; shown at", display);
    display.title = "seed " + seed.name + ": " + std::to_string(seed.voxels.size()) + " voxels";
    std::string png;
    if (!drawMontage(grid, map, display, runUnderlay(collected, run), options, png, problem)) return std::string();
    return png;
}

// The repetition time of a run as the analysis takes it: given, sidecar, header.
double runTr(const AnalysisRequest& request, const RunRequest& run) {
    if (run.tr > 0.0) return run.tr;
    if (request.tr > 0.0) return request.tr;
    double seconds = 0.0;
    bool found = false;
    std::string ignored;
    if (sidecarRepetitionTime(run.path, seconds, found, ignored) && found && seconds > 0.0) return seconds;
    NiftiReader reader;
    return reader.open(run.path, ignored) ? headerRepetitionTime(reader.header()) : 0.0;
}

// The conditions' spans of volumes in run r, as the analysis builds them.
std::vector<Shade> runShades(const AnalysisRequest& request, const AnalysisResults& results, std::size_t r,
                             int32_t volumes) {
    std::vector<Shade> shades;
    for (std::size_t c = 0; c < request.intervalConditions.size(); ++c)
        if (r < request.intervalConditions[c].runs.size())
            for (const Interval& span : request.intervalConditions[c].runs[r])
                shades.push_back(Shade{span.first, span.last, c});
    if (!request.intervalConditions.empty()) return shades;
    const RunRequest& run = request.runs[r];
    std::vector<Event> events;
    std::string ignored;
    const double tr = runTr(request, run);
    if (run.events.empty() || tr <= 0.0 || !readEventsFile(run.events, taskConditionName(run.path), events, ignored)) {
        if (!results.conditionNames.empty()) shades.push_back(Shade{request.skip + 1, volumes, 0});
        return shades;
    }
    for (std::size_t c = 0; c < results.conditionNames.size(); ++c)
        for (const Interval& span :
             eventIntervals(events, results.conditionNames[c], tr, request.shift, volumes, request.skip, 0).intervals)
            shades.push_back(Shade{span.first, span.last, c});
    return shades;
}

std::vector<SeedSection> seedSections(Collected& collected, const AnalysisResults& results) {
    std::vector<SeedSection> sections;
    for (const SeedOutcome& seed : results.seeds) {
        SeedSection section;
        section.name = seed.name;
        section.voxels = static_cast<int64_t>(seed.voxels.size());
        std::string problem;
        section.png = seedPicture(collected, results.record, seed, problem);
        if (section.png.empty() && !problem.empty()) collected.notes.push_back("seed " + seed.name + ": " + problem);
        for (std::size_t r = 0; r < seed.meanTimeCourses.size() && r < collected.request.runs.size(); ++r) {
            const std::vector<float>& course = seed.meanTimeCourses[r];
            const std::vector<Shade> shades =
                runShades(collected.request, results, r, static_cast<int32_t>(course.size()));
            section.timeCourses.push_back(timeCourseSvg(course, shades, results.conditionNames,
                                                        "seed " + seed.name + ", run " + std::to_string(r + 1) + ": " +
                                                            fs::path(collected.request.runs[r].path).filename().string()));
        }
        sections.push_back(std::move(section));
    }
    return sections;
}

// The rows a carpet plot draws at most: one pixel each.
constexpr std::size_t CARPET_ROWS = 400;

std::string fixed(double value, int decimals) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return buffer;
}

// The temporal SNR of the analysed voxels as a montage.
std::string tsnrPicture(const MapRunRecord& record, const std::vector<float>& tsnr, const std::vector<uint8_t>& analysed,
                        double median, const std::string& run, std::string& problem) {
    LdiMap map;
    map.name = "temporal SNR, " + run;
    map.voxels.assign(tsnr.begin(), tsnr.end());
    for (std::size_t v = 0; v < map.voxels.size(); ++v)
        if (v < analysed.size() && analysed[v] == 0) map.voxels[v] = 0.0f;
    MapDisplay display;
    unthresholdedDisplay(map, display);
    display.title = map.name + "   median " + fixed(median, 1) + " in the analysed voxels";
    const PlacedGrid grid = placedNiftiGrid(record.grid);
    std::string png;
    if (!drawMontage(grid, map, display, nullptr, reportMontage(grid), png, problem)) return std::string();
    return png;
}

// "Rest 120, Task 120": the volumes of each condition's spans in a run.
std::string conditionTimePoints(const CarpetFigure& carpet) {
    std::vector<int64_t> counts(carpet.conditionNames.size(), 0);
    for (const Shade& span : carpet.conditions)
        if (span.condition < counts.size()) counts[span.condition] += span.last - span.first + 1;
    std::string text;
    for (std::size_t c = 0; c < counts.size(); ++c)
        text += (text.empty() ? "" : ", ") + carpet.conditionNames[c] + " " + std::to_string(counts[c]);
    return text.empty() ? std::string("none") : text;
}

// The data quality of every run: its numbers, tSNR and carpet plot, from
// what the analysis kept while it read the run.
std::vector<QualitySection> qualitySections(Collected& collected, const AnalysisResults& results) {
    std::vector<QualitySection> sections;
    std::vector<uint8_t> seeds(results.analysed.size(), 0);
    for (const SeedOutcome& seed : results.seeds)
        for (int64_t v : seed.voxels)
            if (static_cast<std::size_t>(v) < seeds.size()) seeds[static_cast<std::size_t>(v)] = 1;
    const std::vector<RunQualityNumbers> summary = qualityNumbers(collected.request, results);
    for (std::size_t r = 0; r < summary.size(); ++r) {
        const RunQuality& quality = results.quality[r];
        const RunRequest& run = collected.request.runs[r];
        QualitySection section;
        section.run = fs::path(run.path).filename().string();
        const RunQualityNumbers& numbers = summary[r];
        CarpetFigure carpet = carpetOf(quality, results.analysed, seeds, CARPET_ROWS);
        carpet.title = "carpet plot, run " + std::to_string(r + 1) + ": " + section.run;
        carpet.framewiseDisplacement = framewiseDisplacement(run);
        if (carpet.framewiseDisplacement.size() != static_cast<std::size_t>(quality.volumes))
            carpet.framewiseDisplacement.clear();
        carpet.conditions = runShades(collected.request, results, r, quality.volumes);
        carpet.conditionNames = results.conditionNames;
        section.numbers = {{"time points", std::to_string(numbers.timePoints) + " (" +
                                               std::to_string(numbers.skipped) + " skipped)"},
                           {"median temporal SNR", fixed(numbers.medianTsnr, 1)},
                           {"voxels analysed", std::to_string(numbers.voxelsAnalysed)}};
        section.numbers.push_back({"time points per condition", conditionTimePoints(carpet)});
        if (numbers.fdKnown) section.numbers.push_back({"mean framewise displacement", fixed(numbers.meanFd, 3) + " mm"});
        std::string problem;
        section.tsnrPng = tsnrPicture(results.record, quality.tsnr, results.analysed, numbers.medianTsnr,
                                      "run " + std::to_string(r + 1), problem);
        if (!drawCarpet(carpet, section.carpetPng, problem)) section.carpetPng.clear();
        if (!problem.empty()) collected.notes.push_back(section.run + ": a data-quality figure is missing: " + problem);
        sections.push_back(std::move(section));
    }
    return sections;
}

std::string number(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

// What the run was asked and what it used.
std::vector<std::pair<std::string, std::string>> runFacts(const AnalysisRequest& request,
                                                          const AnalysisResults& results) {
    const MapRunRecord& record = results.record;
    const GlobalParameters& p = results.parameters;
    std::string qs, kinds;
    for (float q : p.qThresholdsForFDR) qs += (qs.empty() ? "" : ", ") + number(q);
    for (MapType type : p.mapTypesComputed) kinds += (kinds.empty() ? "" : ", ") + mapKindLabel(type);
    std::string conditions;
    for (const std::string& name : results.conditionNames) conditions += (conditions.empty() ? "" : ", ") + name;
    return {{"date", record.date},
            {"runs", std::to_string(request.runs.size())},
            {"grid", gridText(record.grid) + " voxels, " + orientationCode(voxelToWorld(record.grid))},
            {"voxels analysed", std::to_string(results.analysedCount)},
            {"conditions", conditions},
            {"map kinds", kinds},
            {"FDR method", record.fdrMethod + " (dependence: " + record.fdrDependence +
                               ", null draws per voxel: " + std::to_string(record.nullDraws) + ")"},
            {"q levels", qs},
            {"model order", std::to_string(p.autoRegressionOrder) + (request.order.automatic ? " (chosen from the data)" : "")},
            {"surrogates", std::to_string(p.numSurrogateSimulations)},
            {"random seed", std::to_string(record.rngSeed)},
            {"skip, shift", std::to_string(request.skip) + " volumes, " + number(request.shift) + " s"}};
}

std::vector<std::pair<std::string, std::string>> runInputs(const AnalysisRequest& request, const AnalysisResults& results) {
    std::vector<std::pair<std::string, std::string>> inputs;
    for (const MapRunInput& input : results.record.inputs) inputs.push_back({input.path, std::to_string(input.bytes) + " bytes"});
    for (const std::string& mask : request.brainMasks) inputs.push_back({mask, "brain mask"});
    if (!results.record.confounds.is_null()) inputs.push_back({"confound regression", results.record.confounds.dump()});
    return inputs;
}

bool writeRunReport(Collected& collected, const AnalysisResults& results, const ReportContext& context,
                    std::string& problem) {
    ReportPage page;
    page.title = "LDI report: " + (results.record.entityPrefix.empty() ? std::string("ldi map")
                                                                         : results.record.entityPrefix);
    page.commandLine = context.commandLine;
    page.facts = runFacts(collected.request, results);
    page.inputs = runInputs(collected.request, results);
    page.quality = qualitySections(collected, results);
    page.seeds = seedSections(collected, results);
    for (MapEntry& entry : collected.maps) {
        page.maps.push_back(MapFigure{entry.seed, entry.condition, entry.name, std::move(entry.png), entry.levels,
                                      entry.method, std::move(entry.unthresholdedPng)});
        if (entry.hasP) page.calibration.push_back({entry.seed + ": " + entry.name, entry.p});
        page.viewerMaps.push_back(std::move(entry.viewer));
    }
    if (collected.underlay.values.empty() && !collected.request.runs.empty()) runUnderlay(collected, results.record);
    if (!collected.underlay.values.empty())
        page.viewerUnderlay = encodeNiftiMap(results.record.grid, collected.underlay.values, "mean", problem);
    page.calibrationNote = page.calibration.empty()
                               ? "The maps' thresholds come from the plug-in's rule (--fdr plugin), which gives no "
                                 "p-value per voxel: there is nothing to calibrate against the uniform."
                               : std::string();
    page.orderTable = results.orderTable;
    page.warnings = results.warnings;
    page.warnings.insert(page.warnings.end(), collected.notes.begin(), collected.notes.end());
    const std::string path =
        (fs::path(collected.request.outputFolder) / reportFileName(results.record.entityPrefix)).string();
    return writeFileSafely(path, renderReportPage(page), problem);
}

}  // namespace

std::string reportFileName(const std::string& entityPrefix) {
    return (entityPrefix.empty() ? std::string() : entityPrefix + "_") + "ldi-report.html";
}

void analyseAndReport(const AnalysisRequest& request, const SeedSink& files, const ReportContext& context,
                      AnalysisResults& results) {
    AnalysisRequest asked = request;
    asked.statistics.keepPValues = true;
    Collected collected{asked, false, Underlay(), {}, {}, &results};
    std::optional<PictureSession> session;
    if (!context.callerHoldsPictureSession) session.emplace();
    const SeedSink sink = [&files, &collected](const MapRunRecord& run, const SeedResults& seed, std::string& problem) {
        if (!files(run, seed, problem)) return false;
        collectMaps(collected, run, seed);
        return true;
    };
    runAnalysis(asked, sink, results);
    if (results.status != AnalysisStatus::done || asked.order.reportOnly) return;
    std::string problem;
    if (!writeRunReport(collected, results, context, problem))
        results.warnings.push_back("the report could not be written: " + problem);
}

}  // namespace ldi

namespace ldi {

namespace {

using Json = nlohmann::json;

// One tested key of the group level: its t map at its FDR threshold and its
// mean map, the p-values of the voxels tested.
bool groupKeyFigures(const fs::path& folder, const Json& key, ReportPage& page, std::string& problem) {
    const std::string name = key.value("Key", std::string());
    const auto stem = [&](const char* statistic) {
        return (folder / (name + "_stat-" + statistic + "_statmap.nii.gz")).string();
    };
    PlacedSet t, mean;
    if (!readNiftiMapSet(stem(kStatT), t, problem) || !readNiftiMapSet(stem(kStatEffect), mean, problem)) return false;
    MapDisplay display;
    std::string notice;
    if (t.set.levelLabels.empty()) fixedDisplay(t.set.maps.front(), 0.0f, "no FDR thresholds: threshold", display);
    else if (!chooseDisplay(t.set, 0, false, 0.05, display, problem, notice)) return false;
    MapFigure figure{"", "", name + ": t", "", {}, "sign-flip permutation, FDR", ""};
    const MontageOptions options = reportMontage(t.grid);
    MapDisplay every;
    unthresholdedDisplay(t.set.maps.front(), every);
    if (!drawMontage(t.grid, t.set.maps.front(), display, nullptr, options, figure.png, problem) ||
        !drawMontage(t.grid, t.set.maps.front(), every, nullptr, options, figure.unthresholdedPng, problem))
        return false;
    const LdiMap& tMap = t.set.maps.front();
    for (std::size_t l = 0; l < tMap.fdrThresholds.size(); ++l) {
        double q = 0.0;
        qFromLabel(t.set.levelLabels[l], q);
        figure.levels.push_back({q, tMap.fdrThresholds[l], static_cast<double>(tMap.passingVoxels[l])});
    }
    page.maps.push_back(std::move(figure));
    std::vector<float> shown(tMap.voxels.size(), 0.0f);
    for (std::size_t v = 0; v < shown.size(); ++v)
        if (isShown(display, tMap.voxels[v]) && std::isfinite(tMap.voxels[v])) shown[v] = tMap.voxels[v];
    NiftiHeader header;
    std::vector<float> pValues;
    if (readNiftiVolume(stem("p"), header, pValues, false, problem)) {
        page.calibration.push_back({name, mapPValues(pValues, std::vector<float>(tMap.voxels.begin(), tMap.voxels.end()))});
        page.viewerMaps.push_back(ViewerMap{name + ": t", encodeNiftiMap(header, shown, name + " t", problem),
                                            display.threshold, display.top, display.isSigned});
    }
    MapDisplay meanDisplay;
    fixedDisplay(mean.set.maps.front(), 0.0f, "every tested voxel; threshold", meanDisplay);
    MapFigure meanFigure{"", "", name + ": mean of the subjects' maps", "", {}, "", ""};
    if (!drawMontage(mean.grid, mean.set.maps.front(), meanDisplay, nullptr, options, meanFigure.png, problem)) return false;
    page.maps.push_back(std::move(meanFigure));
    return true;
}

double medianValue(std::vector<double> values) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

// One row per run of every subject the group level took, from the data
// quality each subject's participant record holds; a run whose temporal SNR
// is under half the group's median, or whose mean displacement is over
// twice it (and over 0.2 mm), is marked.
QualityTable groupQualityTable(const std::string& outputDir, const std::set<std::string>& subjects) {
    QualityTable table;
    table.columns = {"subject", "run", "time points", "median tSNR", "mean FD (mm)", "voxels analysed", "note"};
    std::vector<double> tsnrs, fds;
    std::vector<Json> runs;
    std::vector<std::string> owners;
    for (const std::string& subject : subjects) {
        std::string text, ignored;
        const fs::path path = fs::path(outputDir) / ("sub-" + subject) / ("sub-" + subject + "_participant.json");
        if (!readWholeFile(path.string(), text, ignored)) continue;
        const Json record = Json::parse(text, nullptr, false);
        if (!record.is_object() || !record.contains("Analyses") || !record["Analyses"].is_array()) continue;
        for (const Json& analysis : record["Analyses"])
            if (analysis.is_object() && analysis.contains("DataQuality") && analysis["DataQuality"].is_array())
                for (const Json& run : analysis["DataQuality"]) {
                    if (!run.is_object()) continue;
                    runs.push_back(run);
                    owners.push_back("sub-" + subject);
                    tsnrs.push_back(run.value("MedianTemporalSNR", 0.0));
                    if (run.contains("MeanFramewiseDisplacement")) fds.push_back(run.value("MeanFramewiseDisplacement", 0.0));
                }
    }
    const double typicalTsnr = medianValue(tsnrs), typicalFd = medianValue(fds);
    for (std::size_t r = 0; r < runs.size(); ++r) {
        const Json& run = runs[r];
        const double tsnr = run.value("MedianTemporalSNR", 0.0);
        const bool hasFd = run.contains("MeanFramewiseDisplacement");
        const double fd = run.value("MeanFramewiseDisplacement", 0.0);
        std::string note;
        if (runs.size() > 2 && tsnr < 0.5 * typicalTsnr) note = "tSNR under half the group's median";
        if (runs.size() > 2 && hasFd && fd > 2.0 * typicalFd && fd > 0.2)
            note += (note.empty() ? "" : "; ") + std::string("displacement over twice the group's median");
        table.rows.push_back({owners[r], run.value("Run", std::string()),
                              std::to_string(run.value("TimePoints", 0)) + " (" +
                                  std::to_string(run.value("SkippedVolumes", 0)) + " skipped)",
                              fixed(tsnr, 1), hasFd ? fixed(fd, 3) : std::string("unknown"),
                              std::to_string(run.value("VoxelsAnalysed", int64_t{0})), note});
    }
    return table;
}

}  // namespace

bool writeGroupReport(const std::string& outputDir, const ReportContext& context, std::string& reportPath,
                      std::string& problem) {
    const fs::path folder = fs::path(outputDir) / "group";
    std::string text;
    if (!readWholeFile((folder / "group.json").string(), text, problem)) return false;
    const Json record = Json::parse(text, nullptr, false);
    if (!record.is_object() || !record.contains("Maps") || !record["Maps"].is_array()) {
        problem = (folder / "group.json").string() + " is not the group level's record; run the group level again";
        return false;
    }
    ReportPage page;
    page.title = "LDI report: group level";
    page.commandLine = context.commandLine;
    page.facts = {{"date", record.value("Date", std::string())},
                  {"permutations", std::to_string(record.value("Permutations", int64_t{0}))},
                  {"random seed", std::to_string(record.value("RngSeed", int64_t{0}))},
                  {"test", "one-sample sign-flip permutation test against 0, two-sided, per voxel"}};
    PictureSession session;
    std::set<std::string> tested;
    for (const Json& key : record["Maps"])
        if (key.contains("Subjects") && key["Subjects"].is_array())
            for (const Json& subject : key["Subjects"])
                if (subject.is_string()) tested.insert(subject.get<std::string>());
    page.qualityTable = groupQualityTable(outputDir, tested);
    for (const Json& key : record["Maps"]) {
        const std::string name = key.value("Key", std::string());
        std::string subjects;
        if (key.contains("Subjects") && key["Subjects"].is_array())
            for (const Json& subject : key["Subjects"]) subjects += (subjects.empty() ? "sub-" : ", sub-") + subject.get<std::string>();
        page.inputs.push_back({name, subjects + "; " + std::to_string(key.value("VoxelsTested", int64_t{0})) +
                                         " voxels tested, " + std::to_string(key.value("VoxelsFWE05", int64_t{0})) +
                                         " pass FWE at 0.05"});
        std::string why;
        if (!groupKeyFigures(folder, key, page, why)) page.warnings.push_back(name + ": not in the report: " + why);
    }
    reportPath = (folder / "group_ldi-report.html").string();
    return writeFileSafely(reportPath, renderReportPage(page), problem);
}

}  // namespace ldi
