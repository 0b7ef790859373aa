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

// What the dataset holds beside the runs decides what is analysed: a brain
// mask only when every run of the set has one (a partial set of masks would
// name runs without any), and a folder where a sidecar or events file is
// expected refuses the subject rather than leaving the run without it.
TEST_F(ParticipantLevel, MasksOfEveryRunOnlyAndFoldersWhereFilesBelongAreRefused) {
    const std::string space = "MNI152NLin2009cAsym";
    const fs::path prep = root / "fmriprep";
    const auto preprocessed = [&](const std::string& subject, const std::string& run, bool mask) {
        addRun(subject, "rest_run-" + run, false);
        const std::string stem = "sub-" + subject + "_task-rest_run-" + run + "_space-" + space;
        writeText(prep / ("sub-" + subject) / "func" / (stem + "_desc-preproc_bold.nii.gz"), "");
        if (mask) writeText(prep / ("sub-" + subject) / "func" / (stem + "_desc-brain_mask.nii.gz"), "");
    };
    struct Case {
        const char* what;
        std::vector<bool> masks;   // per run of sub-01
        const char* folder;        // made under sub-01/func, or ""
        std::size_t brainMasks;    // in the request analysed
        const char* message;       // of the warning, or of the refusal with a folder
    };
    const Case cases[] = {
        {"every run masked", {true, true}, "", 2, ""},
        {"one of two runs masked", {true, false}, "", 0, "not every run has a brain mask"},
        {"the other one masked", {false, true}, "", 0, "not every run has a brain mask"},
        {"a folder as the sidecar", {true, true}, "sub-01_task-rest_run-1_bold.json", 0, "is a folder where a file"},
        {"a folder as the events", {true, true}, "sub-01_task-rest_run-2_events.tsv", 0, "is a folder where a file"},
    };
    for (const Case& c : cases) {
        fs::remove_all(data / "sub-01");
        fs::remove_all(prep);
        for (std::size_t r = 0; r < c.masks.size(); ++r) preprocessed("01", std::to_string(r + 1), c.masks[r]);
        if (*c.folder != '\0') fs::create_directories(data / "sub-01" / "func" / c.folder);
        ParticipantRequest request;
        request.dataset.derivativesDir = prep.string();
        request.dataset.space = space;
        request.skipGiven = true;
        request.outputDir = (root / ("out-" + std::string(c.what))).string();
        std::vector<AnalysisRequest> analysed;
        std::string problem;
        const std::vector<SubjectOutcome> outcomes = run(request, analysed, problem);
        ASSERT_EQ(outcomes.size(), 1u) << c.what << ": " << problem;
        if (*c.folder != '\0') {
            EXPECT_FALSE(outcomes[0].done) << c.what;
            EXPECT_NE(outcomes[0].problem.find(c.message), std::string::npos) << c.what << ": " << outcomes[0].problem;
            EXPECT_NE(outcomes[0].problem.find(c.folder), std::string::npos) << c.what << ": " << outcomes[0].problem;
            EXPECT_TRUE(analysed.empty()) << c.what;
            continue;
        }
        ASSERT_TRUE(outcomes[0].done) << c.what << ": " << outcomes[0].problem;
        ASSERT_EQ(analysed.size(), 1u) << c.what;
        EXPECT_EQ(analysed[0].brainMasks.size(), c.brainMasks) << c.what;
        for (const std::string& mask : analysed[0].brainMasks) EXPECT_FALSE(mask.empty()) << c.what;
        bool warned = false;
        for (const std::string& warning : outcomes[0].warnings)
            warned = warned || (*c.message != '\0' && warning.find(c.message) != std::string::npos);
        EXPECT_EQ(warned, *c.message != '\0') << c.what;
    }
}

// The summary is the subject's mark of a finished run: a rerun takes the
// earlier one away before its first map, so that a rerun stopped midway
// leaves no mark over a mixture of two runs' maps; a rerun refused before
// any map keeps it, and a finished one writes its own.
TEST_F(ParticipantLevel, ARerunStoppedAfterItsFirstMapLeavesNoSummary) {
    addRun("01", "rest", false);
    writeText(data / "task-rest_bold.json", "{\"RepetitionTime\": 2.0}\n");
    const fs::path summary = root / "out" / "sub-01" / "sub-01_participant.json";
    const std::string earlier = "{\"Subject\": \"01\", \"Analyses\": [], \"Earlier\": true}\n";
    struct Case {
        const char* what;
        bool mapsWritten;
        AnalysisStatus status;
        bool summaryLeft;
        bool earlierKept;
    };
    const Case cases[] = {
        {"refused before any map", false, AnalysisStatus::badInput, true, true},
        {"stopped after its first seed's maps", true, AnalysisStatus::failed, false, false},
        {"finished", true, AnalysisStatus::done, true, false},
    };
    for (const Case& c : cases) {
        writeText(summary, earlier);
        ParticipantRequest request;
        request.dataset.bidsDir = data.string();
        request.outputDir = (root / "out").string();
        request.seeds.emplace_back();
        request.analyse = [&c](const AnalysisRequest& given, const AnalysisOutputs& outputs, AnalysisResults& results) {
            if (c.mapsWritten) {
                MapRunRecord run;
                run.parameters = &given.parameters;
                run.grid.dim = {3, 1, 1, 1, 1, 1, 1, 1};
                SeedResults seed;
                seed.seedName = seed.seedLabel = "S";
                std::string ignored;
                outputs.files(run, seed, ignored);
            }
            results.status = c.status;
            results.problem = "stood in";
        };
        std::vector<SubjectOutcome> outcomes;
        std::string problem;
        runParticipantLevel(request, nullptr, outcomes, problem);
        ASSERT_EQ(outcomes.size(), 1u) << c.what << ": " << problem;
        EXPECT_EQ(outcomes[0].done, c.status == AnalysisStatus::done) << c.what << ": " << outcomes[0].problem;
        EXPECT_EQ(fs::exists(summary), c.summaryLeft) << c.what;
        if (c.summaryLeft) {
            EXPECT_EQ(readWholeFile(summary.string()) == earlier, c.earlierKept) << c.what;
        }
    }
}

}  // namespace
