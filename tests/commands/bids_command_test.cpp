// ldi bids: a small BIDS dataset made here (raw runs with inherited sidecars
// and events, an fMRIPrep-like derivatives folder) through the participant
// level, with a missing subject, a subject without the task and one without
// the space; the group level's permutation p values on null data; grids that differ refused;
// the Snakemake workflow end to end; and six simulated subjects through both
// levels, against their ground truth, with and without their confounds.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <nifti1.h>
#include <nlohmann/json.hpp>

#include "study/group_maps.h"
#include "stats/sign_flip.h"
#include "formats/nifti_image.h"
#include "formats/ldi_file.h"
#include "simulation/simulate.h"
#include "support/host_test_support.h"

using namespace ldi;
namespace fs = std::filesystem;

namespace {

constexpr int NX = 6, NY = 5, NZ = 4, NT = 90;

NiftiHeader testGrid(double voxelSize = 3.0, int nx = NX) {
    NiftiHeader grid;
    grid.version = 1;
    grid.rank = 3;
    grid.dim = {3, nx, NY, NZ, 1, 1, 1, 1};
    grid.pixdim = {1.0, voxelSize, voxelSize, voxelSize, 0, 0, 0, 0};
    grid.xyztUnits = 2;  // mm
    grid.sformCode = 4;  // a standard space
    grid.srow = {{{voxelSize, 0, 0, -9}, {0, voxelSize, 0, -6}, {0, 0, voxelSize, -3}}};
    return grid;
}

void writeText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// volume-major values: data[t][voxel]
void writeRun(const fs::path& path, const NiftiHeader& grid, const std::vector<std::vector<float>>& data,
              double tr = 0.0) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << encodeNiftiRunHeader(grid, static_cast<int64_t>(data.size()), tr, "test run");
    for (const auto& volume : data) out.write(reinterpret_cast<const char*>(volume.data()), volume.size() * 4);
}

void writeMask(const fs::path& path, const NiftiHeader& grid, const std::vector<float>& values) {
    std::string problem;
    const std::string image = encodeNiftiMap(grid, values, "mask", problem);
    ASSERT_FALSE(image.empty()) << problem;
    writeText(path, image);
}

// A run with a shared driver in the seed region (voxel x < 2) that a
// neighbouring region (x = 3) follows one volume later, noise elsewhere, and
// `motion` added to every voxel.
std::vector<std::vector<float>> subjectRun(unsigned seed, const std::vector<double>& motion = {}) {
    std::mt19937 random(seed);
    std::normal_distribution<double> normal;
    const int voxels = NX * NY * NZ;
    std::vector<double> driver(NT);
    double previous = 0.0;
    for (int t = 0; t < NT; ++t) driver[static_cast<std::size_t>(t)] = previous = 0.5 * previous + normal(random);
    std::vector<std::vector<float>> data(NT, std::vector<float>(static_cast<std::size_t>(voxels)));
    for (int t = 0; t < NT; ++t)
        for (int v = 0; v < voxels; ++v) {
            const int x = v % NX;
            double value = 100.0 + normal(random);
            if (x < 2) value += 2.0 * driver[static_cast<std::size_t>(t)];
            if (x == 3 && t > 0) value += 2.0 * driver[static_cast<std::size_t>(t - 1)];
            if (!motion.empty()) value += motion[static_cast<std::size_t>(t)];
            data[static_cast<std::size_t>(t)][static_cast<std::size_t>(v)] = static_cast<float>(value);
        }
    return data;
}

const char EVENTS[] = "onset\tduration\ttrial_type\n0\t60\tA\n60\t60\tB\n120\t60\tA\n";

// sub-01..03 with task rest; sub-04 with task motor only. TR and events
// inherited from the dataset's top folder.
fs::path makeRawDataset(const fs::path& root) {
    const fs::path data = root / "data";
    writeText(data / "dataset_description.json", "{\"Name\": \"test\", \"BIDSVersion\": \"1.8.0\"}\n");
    writeText(data / "task-rest_bold.json", "{\"RepetitionTime\": 2.0}\n");
    writeText(data / "task-rest_events.tsv", EVENTS);
    const NiftiHeader grid = testGrid();
    for (int s = 1; s <= 3; ++s)
        writeRun(data / ("sub-0" + std::to_string(s)) / "func" / ("sub-0" + std::to_string(s) + "_task-rest_bold.nii"),
                 grid, subjectRun(static_cast<unsigned>(s)));
    writeRun(data / "sub-04" / "func" / "sub-04_task-motor_bold.nii", grid, subjectRun(4));
    return data;
}

nlohmann::json readJson(const fs::path& path) { return nlohmann::json::parse(readText(path), nullptr, false); }

class BidsTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder = fs::temp_directory_path() /
                 ("ldi_bids_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
                  std::to_string(::getpid()));
        fs::remove_all(folder);
        fs::create_directories(folder);
    }
    void TearDown() override {
        if (!HasFailure()) fs::remove_all(folder);
    }
    fs::path folder;
};

// The datasets made here are small fixtures, not valid BIDS: the validator,
// when installed, is not asked about them (its own test is below).
const std::vector<std::string> kAnalysis = {"--seed", "A=-7.5,0,0,2", "--surrogates", "20", "--rng-seed", "5",
                                            "--skip-bids-validation"};

std::vector<std::string> with(std::vector<std::string> arguments, const std::vector<std::string>& more) {
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
}

}  // namespace

TEST_F(BidsTest, ParticipantLevelGoesOnPastAMissingSubjectAndTheGroupLevelFollows) {
    const fs::path data = makeRawDataset(folder);
    const fs::path out = folder / "out";
    const ProcessResult run = runLdi(with({"bids", data.string(), out.string(), "participant", "--task", "rest",
                                           "--participant-label", "01", "sub-02", "03", "04", "09"},
                                          kAnalysis),
                                     folder.string());
    EXPECT_EQ(run.status, 1) << run.all();
    EXPECT_NE(run.err.find("sub-09: no folder"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("sub-04: no run of task rest (tasks found: motor)"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("3 of 5 subjects analysed; failed: sub-04 sub-09"), std::string::npos) << run.err;
    for (const char* subject : {"01", "02", "03"}) {
        const fs::path func = out / ("sub-" + std::string(subject)) / "func";
        const std::string stem = "sub-" + std::string(subject) + "_task-rest_seed-A";
        EXPECT_TRUE(fs::exists(func / (stem + "_cond-A_contrast-dldi_stat-effect_statmap.nii.gz"))) << stem;
        EXPECT_TRUE(fs::exists(func / (stem + "_cond-B_contrast-dldi_stat-effect_statmap.json"))) << stem;
        EXPECT_FALSE(fs::exists(func / "dataset_description.json"));
        const nlohmann::json record =
            readJson(out / ("sub-" + std::string(subject)) / ("sub-" + std::string(subject) + "_participant.json"));
        ASSERT_TRUE(record.is_object());
        // The repetition time and the events inherited from the top folder.
        EXPECT_EQ(record["Analyses"][0]["Runs"][0]["RepetitionTime"], 2.0);
        // Every path in the one form of the sidecars: a BIDS URI within the dataset.
        EXPECT_EQ(record["Analyses"][0]["Runs"][0]["Events"], "bids:raw:task-rest_events.tsv");
        EXPECT_EQ(record["Analyses"][0]["Runs"][0]["Bold"].get<std::string>().rfind("bids:raw:sub-" + std::string(subject), 0), 0u)
            << record["Analyses"][0]["Runs"][0]["Bold"];
    }
    EXPECT_FALSE(fs::exists(out / "sub-04"));
    EXPECT_FALSE(fs::exists(out / "sub-09"));
    EXPECT_TRUE(fs::exists(out / "dataset_description.json"));
    // Subjects draw their own surrogates.
    EXPECT_NE(readJson(out / "sub-01" / "sub-01_participant.json")["Analyses"][0]["RngSeed"],
              readJson(out / "sub-02" / "sub-02_participant.json")["Analyses"][0]["RngSeed"]);

    const ProcessResult group = runLdi({"bids", data.string(), out.string(), "group", "--permutations", "200",
                                        "--rng-seed", "3"},
                                       folder.string());
    ASSERT_EQ(group.status, 0) << group.all();
    const fs::path groupFolder = out / "group";
    const std::string key = "task-rest_seed-A_cond-A_contrast-dldi";
    for (const char* map : {"effect", "t", "p", "p_desc-fwe"})
        EXPECT_TRUE(fs::exists(groupFolder / (key + "_stat-" + std::string(map) + "_statmap.nii.gz"))) << map;
    const nlohmann::json sidecar = readJson(groupFolder / (key + "_stat-t_statmap.json"));
    EXPECT_EQ(sidecar["Subjects"], nlohmann::json({"01", "02", "03"}));
    EXPECT_EQ(sidecar["Permutations"], 8);  // 2^3 sign patterns: all of them
    EXPECT_EQ(sidecar["Exhaustive"], true);
    EXPECT_EQ(sidecar["RngSeed"], 3);
    EXPECT_TRUE(fs::exists(groupFolder / "group.json"));
    // The map set draws.
    const Parsed<LdiFile> set = decodeLdi(readText(groupFolder / (key + "_group.ldi")));
    ASSERT_TRUE(set.ok) << set.message;
    ASSERT_EQ(set.value.maps.size(), 2u);
    const ProcessResult shown = runLdi({"show", (groupFolder / (key + "_group.ldi")).string(), "--map", "1", "--out",
                                        (folder / "t.png").string()},
                                       folder.string());
    EXPECT_EQ(shown.status, 0) << shown.all();
    EXPECT_TRUE(fs::exists(folder / "t.png"));
}

TEST_F(BidsTest, DerivativesRunsAreRegressedAndTheSidecarsSaySo) {
    const fs::path data = makeRawDataset(folder);
    const fs::path derivatives = data / "derivatives" / "fmriprep";
    const NiftiHeader grid = testGrid();
    std::vector<float> brain(NX * NY * NZ, 1.0f);
    brain[0] = 0.0f;
    for (int s = 1; s <= 2; ++s) {
        const std::string subject = "sub-0" + std::to_string(s);
        const fs::path func = derivatives / subject / "func";
        std::vector<double> motion(NT);
        std::mt19937 random(static_cast<unsigned>(40 + s));
        std::normal_distribution<double> normal;
        for (double& m : motion) m = 3.0 * normal(random);
        const std::string space = s == 1 ? "MNI152NLin2009cAsym" : "T1w";
        writeRun(func / (subject + "_task-rest_space-" + space + "_desc-preproc_bold.nii"), grid,
                 subjectRun(static_cast<unsigned>(s), motion));
        writeMask(func / (subject + "_task-rest_space-" + space + "_desc-brain_mask.nii.gz"), grid, brain);
        // fMRIPrep found three volumes before the steady state: more than --skip 2.
        std::string table = "non_steady_state_outlier00\tnon_steady_state_outlier01\tnon_steady_state_outlier02\t"
                            "trans_x\ttrans_x_derivative1\tcsf\n";
        for (int t = 0; t < NT; ++t)
            table += std::string(t == 0 ? "1\t0\t0\t" : t == 1 ? "0\t1\t0\t" : t == 2 ? "0\t0\t1\t" : "0\t0\t0\t") +
                     std::to_string(motion[static_cast<std::size_t>(t)]) + "\t" +
                     (t == 0 ? std::string("n/a")
                             : std::to_string(motion[static_cast<std::size_t>(t)] -
                                              motion[static_cast<std::size_t>(t - 1)])) +
                     "\t" + std::to_string(normal(random)) + "\n";
        writeText(func / (subject + "_task-rest_desc-confounds_timeseries.tsv"), table);
    }
    const fs::path out = folder / "out";
    const ProcessResult run =
        runLdi(with({"bids", data.string(), out.string(), "participant", "--participant-label", "01", "02",
                     "--derivatives", derivatives.string(), "--confounds", "trans_*", "--skip", "2"},
                    kAnalysis),
               folder.string());
    EXPECT_EQ(run.status, 1) << run.all();
    EXPECT_NE(run.err.find("sub-02: the derivatives folder " + derivatives.string() +
                           " has no preprocessed run in space MNI152NLin2009cAsym for sub-02_task-rest_bold.nii "
                           "(spaces found there: T1w)"),
              std::string::npos)
        << run.err;
    const fs::path func = out / "sub-01" / "func";
    // Each entity once: the preprocessed run's desc- is not the map's.
    const std::string stem = "sub-01_task-rest_space-MNI152NLin2009cAsym_seed-A";
    const nlohmann::json sidecar = readJson(func / (stem + "_cond-A_contrast-dldi_stat-effect_statmap.json"));
    ASSERT_TRUE(sidecar.is_object());
    EXPECT_EQ(sidecar["Confounds"]["Columns"], nlohmann::json({"trans_x", "trans_x_derivative1"}));
    EXPECT_EQ(sidecar["Confounds"]["FilledValues"]["sub-01_task-rest_desc-confounds_timeseries.tsv"]
                     ["trans_x_derivative1"],
              1);
    const std::string inputs = sidecar["Inputs"].dump();
    EXPECT_NE(inputs.find("desc-preproc_bold.nii\""), std::string::npos) << inputs;
    EXPECT_NE(inputs.find("desc-confounds_timeseries.tsv"), std::string::npos) << inputs;
    EXPECT_NE(inputs.find("desc-brain_mask.nii.gz"), std::string::npos) << inputs;
    EXPECT_EQ(inputs.find(".ldi-work"), std::string::npos) << inputs;
    // Inputs as BIDS URIs within the datasets the description links, never
    // as this machine's absolute paths.
    EXPECT_EQ(inputs.find(folder.string()), std::string::npos) << inputs;
    EXPECT_EQ(sidecar["Runs"][0]["Path"],
              "bids:preprocessed:sub-01/func/sub-01_task-rest_space-MNI152NLin2009cAsym_desc-preproc_bold.nii");
    EXPECT_EQ(sidecar["Runs"][0]["SkippedVolumes"], 3);
    EXPECT_EQ(sidecar["Runs"][0]["SkippedVolumesSource"], "confounds");
    EXPECT_NE(run.err.find("the first 3 volumes are non-steady-state"), std::string::npos) << run.err;
    const nlohmann::json links = readJson(out / "dataset_description.json")["DatasetLinks"];
    EXPECT_TRUE(fs::exists(out / links["preprocessed"].get<std::string>() / "sub-01" / "func" /
                           "sub-01_task-rest_space-MNI152NLin2009cAsym_desc-preproc_bold.nii"))
        << links.dump();
    EXPECT_TRUE(fs::exists(out / links["raw"].get<std::string>() / "dataset_description.json")) << links.dump();
    EXPECT_EQ(readJson(func / (stem + "_ldi.json"))["confounds"]["Columns"].size(), 2u);
    for (const auto& entry : fs::directory_iterator(func))
        EXPECT_EQ(entry.path().filename().string().find(".ldi-work"), std::string::npos) << entry.path();
}

TEST(SignFlipTest, NullPValuesAreUniformAndTheMaximumControlsTheFamilyWiseError) {
    const int subjects = 12, voxels = 300, datasets = 200;
    std::mt19937 random(21);
    std::normal_distribution<double> normal;
    std::vector<int64_t> bins(10, 0);
    int familyErrors = 0;
    int64_t tested = 0;
    for (int d = 0; d < datasets; ++d) {
        std::vector<float> data(static_cast<std::size_t>(subjects * voxels));
        for (float& x : data) x = static_cast<float>(normal(random) * (1.0 + 0.5 * (d % 3)));
        const SignFlipOutcome outcome = signFlipTest(data, subjects, voxels, 999, static_cast<uint64_t>(d), 2);
        ASSERT_FALSE(outcome.exhaustive);
        ASSERT_EQ(outcome.permutations, 999);
        bool any = false;
        for (int v = 0; v < voxels; ++v) {
            const double p = outcome.p[static_cast<std::size_t>(v)];
            ASSERT_GE(p, 1.0 / 999);  // the unflipped pattern always counts
            ASSERT_LE(outcome.pFwe[static_cast<std::size_t>(v)], 1.0);
            ASSERT_GE(outcome.pFwe[static_cast<std::size_t>(v)], p);
            ++bins[std::min<std::size_t>(9, static_cast<std::size_t>(p * 10))];
            ++tested;
            any = any || outcome.pFwe[static_cast<std::size_t>(v)] <= 0.05;
        }
        familyErrors += any ? 1 : 0;
    }
    // Uniform: each tenth holds 10 % of the p values (60000 of them; the
    // voxels are independent, so 3 % either way is many standard errors).
    for (int64_t count : bins) EXPECT_NEAR(static_cast<double>(count) / tested, 0.1, 0.013);
    // Family-wise error 5 %: 200 null datasets give 10 +- 3.1 false alarms.
    EXPECT_GE(familyErrors, 2);
    EXPECT_LE(familyErrors, 20);
}

TEST(SignFlipTest, FewSubjectsAreTestedExactlyAndAnEffectIsFound) {
    // Five subjects: 32 sign patterns. A voxel positive in every subject
    // reaches |t| only under the unflipped and the all-flipped pattern.
    const float byVoxel[3][5] = {{1.0f, 2.0f, 0.5f, 1.5f, 0.9f}, {-0.1f, 0.3f, 1.1f, -0.7f, 0.2f},
                                {0.4f, -1.3f, 0.8f, 1.2f, 0.1f}};
    std::vector<float> bySubject(15);  // subject after subject
    for (int s = 0; s < 5; ++s)
        for (int v = 0; v < 3; ++v) bySubject[static_cast<std::size_t>(s * 3 + v)] = byVoxel[v][s];
    const SignFlipOutcome outcome = signFlipTest(bySubject, 5, 3, 5000, 1, 1);
    EXPECT_TRUE(outcome.exhaustive);
    EXPECT_EQ(outcome.permutations, 32);
    EXPECT_DOUBLE_EQ(outcome.p[0], 2.0 / 32);
    // The same with other thread counts.
    const SignFlipOutcome again = signFlipTest(bySubject, 5, 3, 5000, 1, 3);
    EXPECT_EQ(again.pFwe, outcome.pFwe);

    // 16 subjects, 200 voxels, an effect of one standard deviation in 20.
    std::mt19937 random(5);
    std::normal_distribution<double> normal;
    const int subjects = 16, voxels = 200;
    std::vector<float> values(static_cast<std::size_t>(subjects * voxels));
    for (int s = 0; s < subjects; ++s)
        for (int v = 0; v < voxels; ++v)
            values[static_cast<std::size_t>(s * voxels + v)] = static_cast<float>(normal(random) + (v < 20 ? 2.0 : 0.0));
    const SignFlipOutcome effect = signFlipTest(values, subjects, voxels, 2000, 9, 2);
    int found = 0, falseAlarms = 0;
    for (int v = 0; v < voxels; ++v)
        if (effect.pFwe[static_cast<std::size_t>(v)] <= 0.05) (v < 20 ? found : falseAlarms) += 1;
    EXPECT_GE(found, 18);
    EXPECT_LE(falseAlarms, 2);
    const FdrLevel fdr = fdrLevel(effect, 0.05);
    EXPECT_GE(fdr.passing, 18);
    EXPECT_LE(fdr.passing, 24);
    // The critical |t| of the FWE level separates exactly the voxels it declares.
    const double critical = fweCriticalT(effect, 0.05);
    for (int v = 0; v < voxels; ++v)
        EXPECT_EQ(std::fabs(effect.t[static_cast<std::size_t>(v)]) >= critical,
                  effect.pFwe[static_cast<std::size_t>(v)] <= 0.05)
            << v;
}

TEST_F(BidsTest, SubjectsOnDifferentGridsAreRefusedByName) {
    const fs::path out = folder / "out";
    std::mt19937 random(3);
    std::normal_distribution<double> normal;
    // Maps named as ldi named them before the statmap names: earlier
    // results stay usable by the group level.
    auto writeMap = [&](const std::string& subject, const std::string& stat, const NiftiHeader& grid) {
        std::vector<float> values(static_cast<std::size_t>(grid.voxelsPerVolume()));
        for (float& x : values) x = static_cast<float>(normal(random));
        writeMask(out / ("sub-" + subject) / "func" /
                      ("sub-" + subject + "_task-rest_seed-A_cond-A_stat-" + stat + "_ldi.nii.gz"),
                  grid, values);
    };
    for (const char* subject : {"01", "02", "03"}) writeMap(subject, "dldi", testGrid());
    writeMap("01", "inst_desc-z", testGrid());
    writeMap("02", "inst_desc-z", testGrid(3.0, NX + 1));
    writeMap("03", "inst_desc-z", testGrid(2.0));
    // The group's subjects are the dataset's whose participant level finished.
    for (const std::string subject : {"01", "02", "03"}) {
        fs::create_directories(folder / ("sub-" + subject));
        writeText(out / ("sub-" + subject) / ("sub-" + subject + "_participant.json"), "{\"Analyses\": []}\n");
    }
    const ProcessResult group = runLdi({"bids", folder.string(), out.string(), "group", "--rng-seed", "1"},
                                       folder.string());
    EXPECT_EQ(group.status, 1) << group.all();
    EXPECT_NE(group.err.find("task-rest_seed-A_cond-A_contrast-inst: sub-02 (7 x 5 x 4 voxels, RAS) is on another "
                             "grid than sub-01 (6 x 5 x 4 voxels, RAS)"),
              std::string::npos)
        << group.err;
    // The other kind is tested; the record that marks the group level done is not written.
    EXPECT_TRUE(fs::exists(out / "group" / "task-rest_seed-A_cond-A_contrast-dldi_stat-t_statmap.nii.gz"));
    EXPECT_FALSE(fs::exists(out / "group" / "task-rest_seed-A_cond-A_contrast-inst_stat-t_statmap.nii.gz"));
    EXPECT_FALSE(fs::exists(out / "group" / "group.json"));
}

TEST_F(BidsTest, SnakemakeRunsEverySubjectThenTheGroupAndRerunsOnlyWhatChangedInContent) {
    if (std::system("snakemake --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "snakemake is not installed";
    const fs::path data = makeRawDataset(folder);
    fs::remove_all(data / "sub-04");
    // Snakemake compares the content of files under 100 kB itself, and larger ones, as every real
    // run is, by their time: the file touched below is larger.
    const fs::path touched = data / "sub-02" / "func" / "sub-02_task-rest_physio.tsv.gz";
    writeText(touched, std::string(200000, 'x'));
    const fs::path out = folder / "out";
    std::ofstream(folder / "ldi.ini") << "QThresholdsForFDR= 0.01 0.05 0.1\n";
    const std::string command = "cd '" + folder.string() + "' && snakemake -s '" + LDI_SOURCE_DIR +
                                "/workflow/Snakefile' --cores 2 --quiet --config bids_dir='" + data.string() +
                                "' output_dir='" + out.string() + "' ldi='" + LDI_HOST_PATH +
                                "' task=rest 'seeds=[\"A=-7.5,0,0,2\"]' surrogates=20 permutations=100 bids_validation=false "
                                "settings='" + (folder / "ldi.ini").string() + "' > snakemake.txt 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << readText(folder / "snakemake.txt");
    EXPECT_TRUE(fs::exists(out / "group" / "group.json"));
    for (const char* subject : {"01", "02", "03"})
        EXPECT_TRUE(fs::exists(out / ("sub-" + std::string(subject)) / ("sub-" + std::string(subject) + "_participant.json")));
    const auto before = fs::last_write_time(out / "sub-02" / "sub-02_participant.json");
    // A file of the subject only touched (its time newer than every output, its content the same)
    // reruns nothing.
    fs::last_write_time(touched, fs::file_time_type::clock::now() + std::chrono::seconds(5));
    ASSERT_EQ(std::system(command.c_str()), 0) << readText(folder / "snakemake.txt");
    EXPECT_EQ(fs::last_write_time(out / "sub-02" / "sub-02_participant.json"), before);
    // A changed run of sub-01: its job and the group job run again, no other.
    writeRun(data / "sub-01" / "func" / "sub-01_task-rest_bold.nii", testGrid(), subjectRun(11));
    ASSERT_EQ(std::system((command + " && cd '" + folder.string() + "'").c_str()), 0) << readText(folder / "snakemake.txt");
    EXPECT_EQ(fs::last_write_time(out / "sub-02" / "sub-02_participant.json"), before);
    EXPECT_GT(fs::last_write_time(out / "sub-01" / "sub-01_participant.json"), before);
    // A changed settings file is an input of every subject's job.
    std::ofstream(folder / "ldi.ini") << "QThresholdsForFDR= 0.05\n";
    ASSERT_EQ(std::system(command.c_str()), 0) << readText(folder / "snakemake.txt");
    EXPECT_GT(fs::last_write_time(out / "sub-02" / "sub-02_participant.json"), before);
}

namespace {

// The share of the voxels of `letter` whose group t passes the FWE threshold
// at 0.05 of the map kind `kind` in `condition` (positive t: every map kind
// scored here is one where the planted effects are positive).
double groupShare(const fs::path& out, const GroundTruth& truth, const std::string& condition, std::string kind,
                  char letter, double* meanOfMean = nullptr) {
    std::transform(kind.begin(), kind.end(), kind.begin(), [](unsigned char c) { return std::tolower(c); });
    const std::string base = (out / "group" /
                              ("task-blocks_space-MNI152NLin2009cAsym_seed-Reference_cond-" + condition + "_contrast-" +
                               kind + "_stat-"))
                                 .string();
    const nlohmann::json sidecar = readJson(base + "t_statmap.json");
    // The measures that are never negative are tested as their z maps.
    const bool asZ = kind == "ref2vox" || kind == "vox2ref" || kind == "inst";
    EXPECT_EQ(sidecar.value("InputStatistic", std::string()), asZ ? "z" : "effect") << base;
    double threshold = -1.0;
    for (const auto& level : sidecar.at("FWEThresholds"))
        if (std::fabs(level.at("Alpha").get<double>() - 0.05) < 1e-9) threshold = level.at("Threshold").get<double>();
    EXPECT_GT(threshold, 0.0) << base;
    NiftiHeader header;
    std::vector<float> t, mean;
    std::string problem;
    EXPECT_TRUE(readNiftiVolume(base + "t_statmap.nii.gz", header, t, false, problem)) << problem;
    EXPECT_EQ(header.intentCode, NIFTI_INTENT_TTEST) << base;
    EXPECT_EQ(header.intentP1, sidecar.value("Subjects", nlohmann::json::array()).size() - 1.0) << base;
    EXPECT_TRUE(readNiftiVolume(base + "effect_statmap.nii.gz", header, mean, false, problem)) << problem;
    if (t.size() != truth.grid.size() || mean.size() != truth.grid.size()) return -1.0;
    int64_t voxels = 0, passing = 0;
    double sum = 0.0;
    for (std::size_t v = 0; v < truth.grid.size(); ++v) {
        if (truth.grid[v] != letter) continue;
        ++voxels;
        passing += t[v] >= threshold;
        sum += mean[v];
    }
    if (meanOfMean) *meanOfMean = voxels > 0 ? sum / static_cast<double>(voxels) : 0.0;
    return voxels > 0 ? static_cast<double>(passing) / static_cast<double>(voxels) : -1.0;
}

}  // namespace

TEST_F(BidsTest, SixSimulatedSubjectsFindThePlantedRegionsAndConfoundsRemoveTheSpuriousCoupling) {
    const fs::path data = folder / "study";
    const ProcessResult simulated = runLdi({"simulate", "--bids", data.string(), "--subjects", "6"}, folder.string());
    ASSERT_EQ(simulated.status, 0) << simulated.all();
    GroundTruth truth;
    std::string problem;
    ASSERT_TRUE(readGroundTruth((data / SIM_TRUTH_FILE).string(), truth, problem)) << problem;
    const std::vector<std::string> participant = {
        "bids", data.string(), "", "participant", "--derivatives", (data / "derivatives" / "fmriprep").string(),
        "--seed", "Reference=" + (data / SIM_SEED_MASK_FILE).string(), "--rng-seed", "1", "--quiet"};
    auto analyse = [&](const fs::path& out, const std::vector<std::string>& more) {
        std::vector<std::string> arguments = with(participant, more);
        arguments[2] = out.string();
        const ProcessResult subjects = runLdi(arguments, folder.string());
        ASSERT_EQ(subjects.status, 0) << subjects.all();
        const ProcessResult group = runLdi({"bids", data.string(), out.string(), "group", "--rng-seed", "1"},
                                           folder.string());
        ASSERT_EQ(group.status, 0) << group.all();
    };
    const fs::path regressed = folder / "regressed", raw = folder / "raw";
    analyse(regressed, {"--confounds", "trans_?", "rot_?"});
    analyse(raw, {});
    // From fMRIPrep's runs too, every kind reaches the group, the signed
    // differences included: twelve maps a condition pair, as from raw runs.
    for (const fs::path& out : {regressed, raw}) {
        int groupMaps = 0;
        for (const auto& entry : fs::directory_iterator(out / "group"))
            groupMaps += entry.path().filename().string().find("_stat-t_statmap.nii.gz") != std::string::npos;
        EXPECT_EQ(groupMaps, 12) << out;
        EXPECT_TRUE(fs::exists(out / "group" /
                               "task-blocks_space-MNI152NLin2009cAsym_seed-Reference_cond-Task_contrast-dldi_stat-t_"
                               "statmap.nii.gz"));
    }

    // Every planted region on the map that shows its effect, in every condition
    // where it is planted; the background on every such map and condition.
    std::vector<std::string> kinds;
    for (const TruthRegion& region : truth.regions) {
        if (std::find(kinds.begin(), kinds.end(), region.mapKind) == kinds.end()) kinds.push_back(region.mapKind);
        for (const std::string& condition : region.plantedIn)
            EXPECT_GE(groupShare(regressed, truth, condition, region.mapKind, region.letter), 0.9)
                << region.name << " in " << condition;
    }
    for (const TruthCondition& condition : truth.conditions)
        for (const std::string& kind : kinds)
            EXPECT_LE(groupShare(regressed, truth, condition.name, kind, TRUTH_BACKGROUND), 0.05)
                << kind << " in " << condition.name;

    // The confounded region: coupled to the reference while the motion is in
    // the data, no more than the background once it is regressed out.
    double confoundedRaw = 0.0, confoundedRegressed = 0.0, background = 0.0;
    EXPECT_GE(groupShare(raw, truth, "Rest", "Inst", TRUTH_CONFOUNDED, &confoundedRaw), 0.9);
    groupShare(raw, truth, "Rest", "Inst", TRUTH_BACKGROUND, &background);
    // Inst is tested as z values: the background's mean is about 0.
    EXPECT_GT(confoundedRaw, background + 2.0);
    for (const char* condition : {"Task", "Rest"})
        EXPECT_LE(groupShare(regressed, truth, condition, "Inst", TRUTH_CONFOUNDED, &confoundedRegressed), 0.05)
            << condition;
    EXPECT_LT(confoundedRegressed, background + 0.5);
}

namespace {

// A program named bids-validator put first on PATH for the runs of a test.
class FakeValidator {
public:
    FakeValidator(const fs::path& folder, const std::string& output, int status) : folder_(folder) {
        const fs::path program = folder / "bids-validator";
        writeText(program, "#!/bin/sh\necho \"$@\" > '" + (folder / "arguments.txt").string() + "'\nprintf '" +
                               output + "'\nexit " + std::to_string(status) + "\n");
        ::chmod(program.c_str(), 0755);
        const char* path = std::getenv("PATH");
        saved_ = path == nullptr ? "" : path;
        ::setenv("PATH", (folder.string() + ":" + saved_).c_str(), 1);
    }
    ~FakeValidator() { ::setenv("PATH", saved_.c_str(), 1); }
    FakeValidator(const FakeValidator&) = delete;
    FakeValidator& operator=(const FakeValidator&) = delete;
    std::string arguments() const { return readText(folder_ / "arguments.txt"); }

private:
    fs::path folder_;
    std::string saved_;
};

// The index of the maps of one analysis: the JSON file of the folder that records the statistics.
nlohmann::json analysisIndex(const fs::path& func) {
    for (const auto& entry : fs::directory_iterator(func)) {
        if (entry.path().extension() != ".json") continue;
        const nlohmann::json json = readJson(entry.path());
        if (json.is_object() && json.contains("fdr")) return json;
    }
    return nlohmann::json();
}

}  // namespace

TEST_F(BidsTest, BidsAppConventionsVersionValidationWorkFolderThreadsAndStatistics) {
    const ProcessResult version = runLdi({"bids", "--version"}, folder.string());
    const ProcessResult ldiVersion = runLdi({"--version"}, folder.string());
    EXPECT_EQ(version.status, 0) << version.all();
    EXPECT_EQ(version.out, ldiVersion.out.substr(0, ldiVersion.out.find(" (")) + "\n");

    const fs::path data = makeRawDataset(folder);
    for (const char* subject : {"sub-02", "sub-03", "sub-04"}) fs::remove_all(data / subject);
    const fs::path out = folder / "out";
    const std::vector<std::string> participant = {"bids", data.string(), out.string(), "participant", "--seed",
                                                  "A=-7.5,0,0,2", "--surrogates", "20", "--rng-seed", "5"};
    const fs::path tools = folder / "tools";
    fs::create_directories(tools);
    {
        // A dataset the validator finds errors in is not analysed, and its report says why.
        const FakeValidator invalid(tools,
                                    "\\t1: [ERR] Files with such naming scheme are not allowed in a BIDS dataset.\\n"
                                    "\\tSummary: 4 Files, 1 Subject\\n",
                                    1);
        const ProcessResult refused = runLdi(participant, folder.string());
        EXPECT_EQ(refused.status, 2) << refused.all();
        EXPECT_NE(refused.err.find("1: [ERR] Files with such naming scheme"), std::string::npos) << refused.err;
        EXPECT_NE(refused.err.find("Summary: 4 Files"), std::string::npos) << refused.err;
        EXPECT_NE(refused.err.find("bids-validator found errors in " + data.string()), std::string::npos)
            << refused.err;
        EXPECT_NE(refused.err.find("--skip-bids-validation"), std::string::npos) << refused.err;
        EXPECT_NE(invalid.arguments().find(data.string()), std::string::npos) << invalid.arguments();
        EXPECT_FALSE(fs::exists(out / "sub-01"));

        // Declined: analysed as it is, with ldi map's statistics, the work
        // folder and the BIDS Apps' thread option.
        const fs::path work = folder / "scratch" / "ldi";
        const ProcessResult skipped =
            runLdi(with(participant, {"--skip-bids-validation", "-w", work.string(), "--n-cpus", "1", "--fdr",
                                      "parametric", "--null-draws", "2", "--fdr-dependence", "arbitrary", "--order",
                                      "auto:2", "--write-p", "z"}),
                   folder.string());
        ASSERT_EQ(skipped.status, 0) << skipped.all();
        EXPECT_TRUE(fs::is_directory(work));
        EXPECT_TRUE(folderContents(work.string()).empty());  // spills are unlinked at once
        const nlohmann::json index = analysisIndex(out / "sub-01" / "func");
        ASSERT_TRUE(index.is_object());
        EXPECT_EQ(index["fdr"]["method"], "parametric");
        EXPECT_EQ(index["fdr"]["dependence"], "arbitrary");
        EXPECT_EQ(index["fdr"]["nullDraws"], 2);
        EXPECT_TRUE(index.contains("modelOrder")) << index.dump();
    }
    {
        const FakeValidator valid(tools, "This dataset appears to be BIDS compatible.\\n", 0);
        const ProcessResult checked = runLdi(with(participant, {"--nthreads", "1"}), folder.string());
        EXPECT_EQ(checked.status, 0) << checked.all();
        EXPECT_NE(valid.arguments().find(data.string()), std::string::npos);
    }
    // Statistics that would leave the group level without its z maps are refused.
    for (const std::vector<std::string>& statistics :
         std::vector<std::vector<std::string>>{{"--write-p", "p"}, {"--fdr", "plugin"}}) {
        const ProcessResult refused =
            runLdi(with(with(participant, statistics), {"--skip-bids-validation"}), folder.string());
        EXPECT_EQ(refused.status, 2) << refused.all();
        EXPECT_NE(refused.err.find(statistics[0] + " " + statistics[1] + ": "), std::string::npos) << refused.err;
    }
}

// Items a new user met on a small study: each subject's own message, a
// subject without its peers' events refused, and a repetition time that the
// header contradicts warned of by ldi bids and ldi map alike.
TEST_F(BidsTest, EachSubjectsOwnMessageMissingEventsAndContradictedRepetitionTimes) {
    const fs::path data = folder / "data";
    writeText(data / "dataset_description.json", "{\"Name\": \"test\", \"BIDSVersion\": \"1.8.0\"}\n");
    writeText(data / "task-rest_bold.json", "{\"RepetitionTime\": 2.0}\n");
    const NiftiHeader grid = testGrid();
    for (const char* subject : {"01", "02", "03"}) {
        const fs::path func = data / ("sub-" + std::string(subject)) / "func";
        const std::string stem = "sub-" + std::string(subject) + "_task-rest";
        // sub-01's header says 1.35 s; the others' state no repetition time.
        writeRun(func / (stem + "_bold.nii"), grid, subjectRun(static_cast<unsigned>(subject[1] - '0')),
                 std::string(subject) == "01" ? 1.35 : 0.0);
        if (std::string(subject) != "02") writeText(func / (stem + "_events.tsv"), EVENTS);
    }
    const fs::path out = folder / "out";
    const ProcessResult run = runLdi(
        with({"bids", data.string(), out.string(), "participant", "--participant-label", "09", "01", "02", "03"},
             kAnalysis),
        folder.string());
    EXPECT_EQ(run.status, 1) << run.all();
    EXPECT_EQ(countOf(run.err, "no folder"), 1) << run.err;
    EXPECT_EQ(countOf(run.err, "ldi: sub-09: no folder " + (data / "sub-09").string()), 1) << run.err;
    EXPECT_NE(run.err.find("ldi: sub-02: task rest: no events file for sub-02, while sub-01, sub-03 have events "
                           "for task rest"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find((data / "sub-02" / "func" / "sub-02_task-rest_events.tsv").string()), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("2 of 4 subjects analysed; failed: sub-09 sub-02"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(out / "sub-02"));
    const fs::path bold01 = data / "sub-01" / "func" / "sub-01_task-rest_bold.nii";
    const std::string warned = "ldi: warning: " + bold01.string() + ": the repetition time 2 s from the sidecar " +
                               (data / "task-rest_bold.json").string() +
                               " is used, but the NIfTI header's pixdim[4] says 1.35 s";
    EXPECT_EQ(countOf(run.err, warned), 1) << run.err;
    EXPECT_EQ(countOf(run.err, "pixdim[4]"), 1) << run.err;  // sub-03's header states none
    // The value used is the sidecar's, as before.
    EXPECT_EQ(readJson(out / "sub-01" / "sub-01_participant.json")["Analyses"][0]["Runs"][0]["RepetitionTime"], 2.0);

    const ProcessResult map = runLdi({"map", "--bold", bold01.string(), "--seed", "A=-7.5,0,0,2", "--tr", "2.0",
                                      "--surrogates", "20", "--rng-seed", "5", "--out", (folder / "map").string()},
                                     folder.string());
    EXPECT_EQ(map.status, 0) << map.all();
    EXPECT_EQ(countOf(map.err, "ldi: warning: " + bold01.string() +
                                   ": the repetition time 2 s from --tr is used, but the NIfTI header's pixdim[4] "
                                   "says 1.35 s"),
              1)
        << map.err;
}
