#include "pictures/report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>

#include <nlohmann/json.hpp>

#include "analysis/null_tail_record.h"
#include "analysis/run_set.h"
#include "formats/bids_inputs.h"
#include "formats/statmap_names.h"
#include "formats/nifti_image.h"
#include "formats/whole_file.h"
#include "pictures/map_sources.h"
#include "pictures/montage.h"
#include "pictures/report_page.h"
#include "pictures/report_parts.h"
#include "stats/parallel.h"

namespace ldi {

namespace {

namespace fs = std::filesystem;

// What the report keeps of one map while the analysis goes on.
struct MapEntry {
    std::string seed, condition, name;
    std::string png;
    ThresholdRows levels;
    std::string method;
    std::string tail;
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
};

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
bool collectMap(const Underlay* underlay, const MapRunRecord& run, const SeedResults& seed, std::size_t m,
                MapEntry& entry, std::string& problem) {
    const LdiFile set = mapAsSet(run, seed, m);
    const LdiMap& map = set.maps.front();
    MapDisplay display;
    std::string notice;
    if (!chooseDisplay(set, 0, false, 0.05, display, problem, notice)) return false;
    entry.seed = seed.seedName;
    entry.condition = seed.conditionNames[m / seed.kinds.size()];
    entry.name = map.name;
    const PlacedGrid grid = placedNiftiGrid(run.grid);
    if (!drawMontage(grid, map, display, underlay, reportMontage(grid), entry.png, problem)) return false;
    const MapThresholds& thresholds = seed.thresholds[m];
    for (std::size_t t = 0; thresholds.searched && t < thresholds.thresholds.size(); ++t)
        entry.levels.push_back({run.parameters->qThresholdsForFDR[t], thresholds.thresholds[t],
                                t < thresholds.passing.size() ? static_cast<double>(thresholds.passing[t]) : -1.0});
    entry.method = thresholds.searched ? thresholds.method : std::string();
    entry.tail = nullTailText(thresholds.tail);
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
    const std::size_t count = seed.maps.size();
    std::vector<MapEntry> entries(count);
    std::vector<std::string> why(count);
    std::vector<uint8_t> made(count, 0);
    WorkCounter maps(static_cast<int64_t>(count), 1);
    runOnWorkers(std::min(threadCountFor(requestedThreads(collected.request)), static_cast<int>(count)), [&](int) {
        int64_t m = 0, end = 0;
        while (maps.next(m, end)) {
            const auto i = static_cast<std::size_t>(m);
            made[i] = collectMap(underlay, run, seed, i, entries[i], why[i]) ? 1 : 0;
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
    page.seeds = seedSections(collected, results);
    for (MapEntry& entry : collected.maps) {
        page.maps.push_back(MapFigure{entry.seed, entry.condition, entry.name, std::move(entry.png), entry.levels, entry.method,
                                      entry.tail});
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
    Collected collected{asked, false, Underlay(), {}, {}};
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
    if (!drawMontage(t.grid, t.set.maps.front(), display, nullptr, options, figure.png, problem)) return false;
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
