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

#include "analysis/null_tail_record.h"
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
    std::string tail;
    bool hasP = false;
    PValueSummary p;
    ViewerMap viewer;
};

}  // namespace

// What the report keeps of the analysis while it goes on.
struct Collected {
    bool underlayRead = false;
    Underlay underlay;  // the mean image of the first run; no values when it could not be read
    std::vector<MapEntry> maps;
    std::vector<std::string> notes;  // what the report could not show, and why
};

namespace {

// The voxels of a seed as a mask of the grid, for the maps' outline; empty
// when the seed is not known.
std::vector<uint8_t> seedMask(const AnalysisResults& results, const MapRunRecord& run, const std::string& seed) {
    std::vector<uint8_t> mask;
    for (const SeedOutcome& outcome : results.seeds) {
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
    if (!collected.underlayRead && !run.runs.empty()) {
        collected.underlayRead = true;
        const std::string& path = run.runs.front().path;
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
void collectMaps(Collected& collected, const AnalysisResults& results, const SeedResults& seed) {
    const MapRunRecord& run = results.record;
    const Underlay* underlay = runUnderlay(collected, run);  // read before the pictures share it
    const std::vector<uint8_t> seedVoxels = seedMask(results, run, seed.seedName);
    const std::size_t count = seed.maps.size();
    std::vector<MapEntry> entries(count);
    std::vector<std::string> why(count);
    std::vector<uint8_t> made(count, 0);
    WorkCounter maps(static_cast<int64_t>(count), 1);
    runOnWorkers(std::min(std::max(results.threads, 1), static_cast<int>(count)), [&](int) {
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

// The conditions' spans of volumes in run r, as the analysis took them.
std::vector<Shade> runShades(const AnalysisResults& results, std::size_t r) {
    std::vector<Shade> shades;
    for (std::size_t c = 0; c < results.conditionVolumes.size(); ++c)
        if (r < results.conditionVolumes[c].size())
            for (const Interval& span : results.conditionVolumes[c][r]) shades.push_back(Shade{span.first, span.last, c});
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
        for (std::size_t r = 0; r < seed.meanTimeCourses.size() && r < results.record.runs.size(); ++r) {
            const std::vector<float>& course = seed.meanTimeCourses[r];
            section.timeCourses.push_back(timeCourseSvg(course, runShades(results, r), results.conditionNames,
                                                        "seed " + seed.name + ", run " + std::to_string(r + 1) + ": " +
                                                            fs::path(results.record.runs[r].path).filename().string()));
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
    const std::vector<RunQualityNumbers> summary = qualityNumbers(results);
    for (std::size_t r = 0; r < summary.size(); ++r) {
        const RunQuality& quality = results.quality[r];
        QualitySection section;
        section.run = summary[r].run;
        const RunQualityNumbers& numbers = summary[r];
        CarpetFigure carpet = carpetOf(quality, results.analysed, seeds, CARPET_ROWS);
        carpet.title = "carpet plot, run " + std::to_string(r + 1) + ": " + section.run;
        carpet.framewiseDisplacement = quality.framewiseDisplacement;
        if (carpet.framewiseDisplacement.size() != static_cast<std::size_t>(quality.volumes))
            carpet.framewiseDisplacement.clear();
        carpet.conditions = runShades(results, r);
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

}  // namespace

// What the analysis did, every row from its record: the same values as the
// maps' sidecars hold.
std::vector<std::pair<std::string, std::string>> runFacts(const AnalysisResults& results) {
    const MapRunRecord& record = results.record;
    const GlobalParameters& p = results.parameters;
    std::string qs, kinds;
    for (float q : p.qThresholdsForFDR) qs += (qs.empty() ? "" : ", ") + number(q);
    for (MapType type : p.mapTypesComputed) kinds += (kinds.empty() ? "" : ", ") + mapKindLabel(type);
    std::string conditions;
    for (std::size_t c = 0; c < results.conditionNames.size(); ++c) {
        int64_t volumes = 0;
        if (c < results.conditionVolumes.size())
            for (const std::vector<Interval>& run : results.conditionVolumes[c])
                for (const Interval& span : run) volumes += span.last - span.first + 1;
        conditions += (conditions.empty() ? "" : ", ") + results.conditionNames[c] + " (" +
                      std::to_string(volumes) + " volumes)";
    }
    std::vector<std::pair<std::string, std::string>> facts = {
        {"date", record.date},
        {"runs", std::to_string(record.runs.size())},
        {"grid", gridText(record.grid) + " voxels, " + orientationCode(voxelToWorld(record.grid))},
        {"voxels analysed", std::to_string(results.analysedCount)},
        {"conditions", conditions},
        {"map kinds", kinds},
        {"FDR method", record.fdrMethod + " (dependence: " + record.fdrDependence +
                           ", null draws per voxel: " + std::to_string(record.nullDraws) + ")"},
        {"q levels", qs},
        {"model order", std::to_string(p.autoRegressionOrder) + (results.orderFromData ? " (chosen from the data)" : "")},
        {"surrogates", std::to_string(p.numSurrogateSimulations)},
        {"random seed", std::to_string(record.rngSeed)},
        {"shift", number(results.shift) + " s"}};
    for (std::size_t r = 0; r < record.runs.size(); ++r) {
        const RunProvenance& run = record.runs[r];
        const std::string which = record.runs.size() == 1 ? std::string() : " (run " + std::to_string(r + 1) + ")";
        facts.push_back({"skipped volumes" + which, std::to_string(run.skipped) + " (" + run.skipSource + ")"});
        facts.push_back({"repetition time" + which, number(run.tr) + " s (" + run.trSource + ")"});
    }
    for (const SeedOutcome& seed : results.seeds)
        if (!seed.definition.is_null()) facts.push_back({"seed " + seed.name, seed.definition.dump()});
    return facts;
}

namespace {

std::vector<std::pair<std::string, std::string>> runInputs(const AnalysisResults& results) {
    std::vector<std::pair<std::string, std::string>> inputs;
    for (const MapRunInput& input : results.record.inputs)
        inputs.push_back({input.path, input.role + ", " + std::to_string(input.bytes) + " bytes"});
    if (!results.record.confounds.is_null()) inputs.push_back({"confound regression", results.record.confounds.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)});
    return inputs;
}

bool writeRunReport(Collected& collected, const AnalysisResults& results, const ReportContext& context,
                    std::string& problem) {
    ReportPage page;
    page.title = "LDI report: " + (results.record.entityPrefix.empty() ? std::string("ldi map")
                                                                         : results.record.entityPrefix);
    page.commandLine = context.commandLine;
    page.facts = runFacts(results);
    page.inputs = runInputs(results);
    page.quality = qualitySections(collected, results);
    page.seeds = seedSections(collected, results);
    for (MapEntry& entry : collected.maps) {
        page.maps.push_back(MapFigure{entry.seed, entry.condition, entry.name, std::move(entry.png), entry.levels,
                                      entry.method, std::move(entry.unthresholdedPng), entry.tail});
        if (entry.hasP) page.calibration.push_back({entry.seed + ": " + entry.name, entry.p});
        page.viewerMaps.push_back(std::move(entry.viewer));
    }
    if (collected.underlay.values.empty()) runUnderlay(collected, results.record);
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
        (fs::path(results.record.outputFolder) / reportFileName(results.record.entityPrefix)).string();
    return writeFileSafely(path, renderReportPage(page), problem);
}

}  // namespace

std::string reportFileName(const std::string& entityPrefix) {
    return (entityPrefix.empty() ? std::string() : entityPrefix + "_") + "ldi-report.html";
}

HtmlReport::HtmlReport(const ReportContext& context) : context_(context), collected_(std::make_unique<Collected>()) {
    if (!context.callerHoldsPictureSession) session_.emplace();
}

HtmlReport::~HtmlReport() = default;

void HtmlReport::discardEarlier(const MapRunRecord& run) {
    if (run.outputFolder.empty()) return;
    std::error_code ignored;
    fs::remove(fs::path(run.outputFolder) / reportFileName(run.entityPrefix), ignored);
}

void HtmlReport::seedDone(const AnalysisResults& results, const SeedResults& seed) {
    collectMaps(*collected_, results, seed);
}

bool HtmlReport::write(const AnalysisResults& results, std::string& problem) {
    return writeRunReport(*collected_, results, context_, problem);
}

}  // namespace ldi

namespace ldi {

namespace {

using Json = nlohmann::json;

// The FDR levels a group map's sidecar records: q, the threshold (NaN where
// it is null: nothing passes) and the voxels passing.
ThresholdRows sidecarLevels(const fs::path& sidecar) {
    ThresholdRows rows;
    std::string text, ignored;
    if (!readWholeFile(sidecar.string(), text, ignored)) return rows;
    const Json document = Json::parse(text, nullptr, false);
    if (!document.is_object() || !document.contains("FDRThresholds") || !document["FDRThresholds"].is_array())
        return rows;
    for (const Json& level : document["FDRThresholds"]) {
        if (!level.is_object() || !level.value("q", Json()).is_number()) continue;
        const Json threshold = level.value("Threshold", Json());
        const Json passing = level.value("VoxelsPassing", Json());
        rows.push_back({level["q"].get<double>(), threshold.is_number() ? threshold.get<double>() : NAN,
                        passing.is_number() ? passing.get<double>() : -1.0});
    }
    return rows;
}

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
    MapFigure figure{"", "", name + ": t", "", {}, "sign-flip permutation, FDR", "", ""};
    const MontageOptions options = reportMontage(t.grid);
    MapDisplay every;
    unthresholdedDisplay(t.set.maps.front(), every);
    if (!drawMontage(t.grid, t.set.maps.front(), display, nullptr, options, figure.png, problem) ||
        !drawMontage(t.grid, t.set.maps.front(), every, nullptr, options, figure.unthresholdedPng, problem))
        return false;
    const LdiMap& tMap = t.set.maps.front();
    // The levels as the sidecar records them: a level no value reaches has no
    // threshold (null), which the picture draws at the largest value instead.
    for (const auto& level : sidecarLevels(folder / (name + "_stat-" + kStatT + "_statmap.json")))
        figure.levels.push_back(level);
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
    MapFigure meanFigure{"", "", name + ": mean of the subjects' maps", "", {}, "", "", ""};
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
    // What the group level warned of as it ran comes first.
    if (record.contains("Warnings") && record["Warnings"].is_array()) {
        std::vector<std::string> recorded;
        for (const Json& warning : record["Warnings"])
            if (warning.is_string()) recorded.push_back(warning.get<std::string>());
        page.warnings.insert(page.warnings.begin(), recorded.begin(), recorded.end());
    }
    reportPath = (folder / "group_ldi-report.html").string();
    return writeFileSafely(reportPath, renderReportPage(page), problem);
}

}  // namespace ldi
