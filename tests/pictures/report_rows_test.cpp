// The run report says what the analysis did: every row of its summary is the
// value the maps' sidecars record (the volumes skipped and why, the
// repetition time and where it came from, the seeds' definitions, the
// statistics), checked on a run whose first volume the detection leaves out
// while the request asked for no skip; and the report is written by the one
// analysis call as its output, beside the files.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "analysis/analysis.h"
#include "analysis/analysis_test_support.h"
#include "formats/whole_file.h"
#include "pictures/report.h"

using namespace ldi;
using namespace analysis_test;

namespace {

std::map<std::string, std::string> factsOf(const AnalysisResults& results) {
    std::map<std::string, std::string> facts;
    for (const auto& row : runFacts(results)) facts[row.first] = row.second;
    return facts;
}

std::string numberText(double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

}  // namespace

TEST(RunReport, EveryRowIsTheValueTheSidecarsRecord) {
    TestFolder folder;
    std::vector<std::vector<float>> run = coupledRun(4);
    for (float& value : run[0]) value += 60.0f;  // bright: before the steady state
    writeRun(folder / "sub-01_task-x_bold.nii", testGrid(), run, 1.5);
    AnalysisRequest request = smallRequest(folder);
    RunRequest given;
    given.path = (folder / "sub-01_task-x_bold.nii").string();
    request.runs = {given};
    request.shift = 0.25;
    SeedRequest sphere;
    sphere.name = "S";
    sphere.shape = SeedRequest::Shape::sphere;
    sphere.sphere = {-9.0, -6.0, 0.0, 4.0};
    request.seeds = {sphere};
    // Asked for nothing but the defaults: the report must still say what was done.
    ASSERT_EQ(request.skip, 0);

    HtmlReport report(ReportContext{"test"});
    AnalysisResults results;
    runAnalysis(request, AnalysisOutputs{seedFileWriter(request.outputFolder), &report}, results);
    ASSERT_EQ(results.status, AnalysisStatus::done) << results.problem;
    EXPECT_TRUE(fs::exists(folder / "out" / "sub-01_task-x_ldi-report.html"));

    std::string text, problem;
    const fs::path sidecarPath =
        folder / "out" / "sub-01_task-x_seed-S_cond-x_contrast-ref2vox_stat-effect_statmap.json";
    ASSERT_TRUE(readWholeFile(sidecarPath.string(), text, problem)) << problem;
    const nlohmann::json sidecar = nlohmann::json::parse(text);
    const nlohmann::json& recorded = sidecar["Runs"][0];
    const std::map<std::string, std::string> facts = factsOf(results);

    const struct {
        const char* row;
        std::string expected;
    } rows[] = {
        {"skipped volumes", std::to_string(recorded["SkippedVolumes"].get<int>()) + " (" +
                                recorded["SkippedVolumesSource"].get<std::string>() + ")"},
        {"repetition time", numberText(recorded["RepetitionTime"].get<double>()) + " s (" +
                                recorded["RepetitionTimeSource"].get<std::string>() + ")"},
        {"random seed", std::to_string(sidecar["RngSeed"].get<int64_t>())},
        {"FDR method", sidecar["FDRMethod"].get<std::string>() + " (dependence: " +
                           sidecar["FDRDependence"].get<std::string>() +
                           ", null draws per voxel: " + std::to_string(sidecar["NullDraws"].get<int>()) + ")"},
        {"shift", "0.25 s"},
    };
    for (const auto& row : rows) {
        ASSERT_TRUE(facts.count(row.row)) << row.row;
        EXPECT_EQ(facts.at(row.row), row.expected) << row.row;
    }
    ASSERT_TRUE(facts.count("seed S"));
    EXPECT_EQ(nlohmann::json::parse(facts.at("seed S")), sidecar["SeedDefinition"]);
    // What was done, not what was asked: one bright volume left out, 1.5 s from the header.
    EXPECT_EQ(recorded["SkippedVolumes"], 1);
    EXPECT_EQ(facts.at("skipped volumes"), "1 (detected)");
    EXPECT_EQ(facts.at("repetition time"), "1.5 s (header)");
    // The condition's volumes as the sidecar lists them.
    int64_t volumes = 0;
    for (const auto& spans : sidecar["ConditionVolumes"])
        for (const auto& span : spans) volumes += span[1].get<int64_t>() - span[0].get<int64_t>() + 1;
    EXPECT_EQ(volumes, 79);
    EXPECT_NE(facts.at("conditions").find("(" + std::to_string(volumes) + " volumes)"), std::string::npos)
        << facts.at("conditions");
    EXPECT_EQ(sidecar["SeedDefinition"]["CoordinateSpace"], "sform mni_152");
}
