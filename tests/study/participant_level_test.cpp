// The participant level's decisions before any data are read, on datasets of
// empty run files (the analysis itself is stood in for): every subject's
// message is its own, a subject without the events its peers have is refused
// rather than analysed as one whole-run condition, and the work folder, the
// statistics and the repetition time's source reach every analysis.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "study/bids_dataset.h"
#include "study/participant_level.h"
#include "support/ldi_process.h"

using namespace ldi;
namespace fs = std::filesystem;

namespace {

void writeText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    writeWholeFile(path.string(), text);
}

class ParticipantLevel : public ::testing::Test {
protected:
    void SetUp() override {
        root = fs::temp_directory_path() /
               ("ldi_participant_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                "_" + std::to_string(::getpid()));
        fs::remove_all(root);
        data = root / "data";
        writeText(data / "dataset_description.json", "{\"Name\": \"t\", \"BIDSVersion\": \"1.8.0\"}\n");
    }
    void TearDown() override {
        if (!HasFailure()) fs::remove_all(root);
    }
    void addRun(const std::string& subject, const std::string& task, bool events) {
        const fs::path func = data / ("sub-" + subject) / "func";
        const std::string stem = "sub-" + subject + "_task-" + task;
        writeText(func / (stem + "_bold.nii"), "");
        if (events) writeText(func / (stem + "_events.tsv"), "onset\tduration\ttrial_type\n0\t10\tA\n");
    }
    // The level with the analysis stood in for: each request is kept.
    std::vector<SubjectOutcome> run(ParticipantRequest request, std::vector<AnalysisRequest>& analysed,
                                    std::string& problem) {
        request.dataset.bidsDir = data.string();
        if (request.outputDir.empty()) request.outputDir = (root / "out").string();
        request.seeds.emplace_back();
        request.analyse = [&analysed](const AnalysisRequest& given, const AnalysisOutputs&, AnalysisResults& results) {
            analysed.push_back(given);
            results.status = AnalysisStatus::done;
        };
        std::vector<SubjectOutcome> outcomes;
        EXPECT_TRUE(runParticipantLevel(request, nullptr, outcomes, problem) || !problem.empty());
        return outcomes;
    }
    fs::path root, data;
};

TEST_F(ParticipantLevel, EverySubjectsProblemIsItsOwnWhateverTheCallerHeld) {
    addRun("02", "rest", false);
    fs::create_directories(root / "fmriprep" / "sub-02" / "func");
    const DatasetQuery query{data.string(), (root / "fmriprep").string(), "MNI152NLin2009cAsym", ""};
    // Left over from the subject before: it must not stand for sub-02's reason.
    std::string problem = "sub-09: no folder " + (data / "sub-09").string();
    std::vector<DatasetRunSet> sets;
    EXPECT_FALSE(subjectRunSets(query, "02", sets, problem));
    EXPECT_EQ(problem.rfind("sub-02: the derivatives folder", 0), 0u) << problem;
    EXPECT_EQ(problem.find("sub-09"), std::string::npos) << problem;

    // Through the level, in the order given: each subject's own reason.
    ParticipantRequest request;
    request.dataset.derivativesDir = query.derivativesDir;
    request.dataset.space = query.space;
    request.participants = {"09", "02"};
    std::vector<AnalysisRequest> analysed;
    const std::vector<SubjectOutcome> outcomes = run(request, analysed, problem);
    ASSERT_EQ(outcomes.size(), 2u) << problem;
    EXPECT_EQ(outcomes[0].problem.rfind("sub-09: no folder", 0), 0u) << outcomes[0].problem;
    EXPECT_EQ(outcomes[1].problem.rfind("sub-02: the derivatives folder", 0), 0u) << outcomes[1].problem;
}

TEST_F(ParticipantLevel, ASubjectWithoutTheEventsItsPeersHaveIsRefusedAndTheOthersGoOn) {
    addRun("01", "motor", true);
    addRun("02", "motor", false);
    addRun("03", "motor", true);
    addRun("02", "rest", false);  // no subject has events for rest: one whole-run condition
    std::vector<AnalysisRequest> analysed;
    std::string problem;
    const std::vector<SubjectOutcome> outcomes = run(ParticipantRequest{}, analysed, problem);
    ASSERT_EQ(outcomes.size(), 3u) << problem;
    EXPECT_TRUE(outcomes[0].done) << outcomes[0].problem;
    EXPECT_TRUE(outcomes[2].done) << outcomes[2].problem;
    ASSERT_FALSE(outcomes[1].done);
    const std::string& message = outcomes[1].problem;
    for (const std::string& part :
         {std::string("sub-02: task motor: no events file for sub-02, while sub-01, sub-03 have events"),
          (data / "sub-02" / "func" / "sub-02_task-motor_events.tsv").string(), std::string("--participant-label")})
        EXPECT_NE(message.find(part), std::string::npos) << message;
    EXPECT_FALSE(fs::exists(root / "out" / "sub-02" / "sub-02_participant.json"));

    // Alone, as a cluster job per subject would run it: the same verdict.
    ParticipantRequest alone;
    alone.participants = {"02"};
    alone.outputDir = (root / "alone").string();
    const std::vector<SubjectOutcome> single = run(alone, analysed, problem);
    ASSERT_EQ(single.size(), 1u);
    EXPECT_FALSE(single[0].done);
    EXPECT_EQ(single[0].problem, message);

    // A task no subject has events for keeps one whole-run condition.
    analysed.clear();
    ParticipantRequest rest;
    rest.dataset.task = "rest";
    rest.participants = {"02"};
    rest.outputDir = (root / "rest").string();
    const std::vector<SubjectOutcome> whole = run(rest, analysed, problem);
    ASSERT_EQ(whole.size(), 1u);
    EXPECT_TRUE(whole[0].done) << whole[0].problem;
    ASSERT_EQ(analysed.size(), 1u);
    EXPECT_TRUE(analysed[0].runs[0].events.empty());
    EXPECT_TRUE(analysed[0].conditions.empty());
}

TEST_F(ParticipantLevel, WorkFolderStatisticsAndTheRepetitionTimesSourceReachEveryAnalysis) {
    addRun("01", "rest", false);
    writeText(data / "task-rest_bold.json", "{\"RepetitionTime\": 2.0}\n");
    ParticipantRequest request;
    request.workDir = (root / "work" / "ldi").string();
    request.statistics.fdr = FdrMethod::parametric;
    request.statistics.nullDraws = 3;
    request.statistics.dependence = "arbitrary";
    std::vector<AnalysisRequest> analysed;
    std::string problem;
    const std::vector<SubjectOutcome> outcomes = run(request, analysed, problem);
    ASSERT_EQ(analysed.size(), 1u) << problem;
    EXPECT_TRUE(fs::is_directory(root / "work" / "ldi"));
    EXPECT_EQ(analysed[0].workFolder, request.workDir);
    EXPECT_EQ(analysed[0].statistics.fdr, FdrMethod::parametric);
    EXPECT_EQ(analysed[0].statistics.nullDraws, 3);
    EXPECT_EQ(analysed[0].statistics.dependence, "arbitrary");
    EXPECT_EQ(analysed[0].statistics.writeP, "z");  // the group level tests z maps
    EXPECT_EQ(analysed[0].runs[0].tr, 2.0);
    EXPECT_EQ(analysed[0].runs[0].trSource, "the sidecar " + (data / "task-rest_bold.json").string());

    // Refused before anything is written: a work folder inside the dataset,
    // and statistics that leave the group level without z maps.
    const auto refused = [&](ParticipantRequest bad, const std::string& expected) {
        bad.outputDir = (root / "refused").string();
        std::vector<AnalysisRequest> none;
        std::string why;
        EXPECT_TRUE(run(bad, none, why).empty());
        EXPECT_NE(why.find(expected), std::string::npos) << why;
        EXPECT_TRUE(none.empty());
        EXPECT_FALSE(fs::exists(root / "refused"));
    };
    ParticipantRequest inside;
    inside.workDir = (data / "work").string();
    refused(inside, "lies inside the dataset");
    EXPECT_FALSE(fs::exists(data / "work"));
    ParticipantRequest pMaps;
    pMaps.statistics.writeP = "p";
    refused(pMaps, "--write-p p");
    ParticipantRequest plugin;
    plugin.statistics.fdr = FdrMethod::plugin;
    refused(plugin, "--fdr plugin");
}

}  // namespace
