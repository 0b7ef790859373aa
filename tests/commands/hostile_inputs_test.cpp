// `ldi` given input made to break it, as a whole process with a time limit:
// times that do not fit the run, images whose headers claim far more data
// than they hold, one subject's broken files in a dataset, and output folders
// that are someone else's dataset. Each must end promptly, with a message
// naming the file or option, and leave the other subjects' and the dataset's
// files as they were.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis/analysis_test_support.h"
#include "base/process.h"
#include "formats/nifti_image.h"
#include "support/ldi_process.h"

using namespace ldi;
using namespace ldi::analysis_test;

namespace {

// Quick enough for the slowest build; a hang is what these runs look for.
constexpr int kSeconds = 60;

const std::vector<std::string> kSeed = {"--seed", "A=-7.5,0,0,2", "--surrogates", "20", "--rng-seed", "5",
                                        "--quiet"};
// ldi bids on these datasets, made to be hostile rather than valid BIDS.
const std::vector<std::string> kBidsSeed = {"--seed", "A=-7.5,0,0,2", "--surrogates", "20", "--rng-seed", "5",
                                            "--quiet", "--skip-bids-validation"};

std::vector<std::string> with(std::vector<std::string> arguments, const std::vector<std::string>& more) {
    arguments.insert(arguments.end(), more.begin(), more.end());
    return arguments;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

// The run ends within the limit, refused, and says `expected`.
void expectRefused(const LdiOutcome& outcome, const std::string& expected, const std::string& what) {
    EXPECT_FALSE(outcome.timedOut) << what << " hangs";
    EXPECT_EQ(outcome.signal, 0) << what << "\n" << outcome.all();
    EXPECT_NE(outcome.status, 0) << what << "\n" << outcome.all();
    EXPECT_NE(outcome.err.find(expected), std::string::npos) << what << ": expected '" << expected << "' in\n"
                                                             << outcome.all();
}

TEST(HostileInputs, EventTimesThatDoNotFitTheRunAreRefusedPromptly) {
    TestFolder folder;
    writeRun(folder / "run.nii", testGrid(), coupledRun(1, 80), 2.0);
    const auto map = [&](const std::string& events, const std::vector<std::string>& more) {
        writeWholeFile((folder / "events.tsv").string(), "onset\tduration\ttrial_type\n0\t40\tA\n" + events);
        return runLdiFor(with(with({"map", "--bold", "run.nii", "--events", "events.tsv", "--out", "out"}, kSeed),
                              more),
                         folder.path().string(), std::string(), kSeconds);
    };
    // Times in another unit or mistyped, on line 3 of the events file.
    for (const char* line : {"1e20\t10\tA\n", "80\t3e19\tA\n", "0\t1e308\tA\n", "-1e300\t1\tA\n"})
        expectRefused(map(line, {}), "events.tsv:3", std::string("the event ") + line);
    // The options: not finite, or moving every volume far from the events.
    for (const char* shift : {"1e20", "inf", "-1e300", "nan"})
        expectRefused(map("", {"--shift", shift}), "shift ", std::string("--shift ") + shift);
    expectRefused(map("", {"--tr", "nan"}), "tr nan: not a positive number of seconds", "--tr nan");
    // A sidecar's repetition time that no scanner has.
    writeWholeFile((folder / "run.json").string(), "{\"RepetitionTime\": 1e-300}\n");
    expectRefused(map("", {}), "repetition time", "RepetitionTime 1e-300");
    fs::remove(folder / "run.json");
    // Events within reach of the run still make maps.
    const LdiOutcome fine = map("150\t20\tA\n", {});
    EXPECT_EQ(fine.status, 0) << fine.all();
}

// Keeps the address space of the children started meanwhile below `bytes`,
// so that a run that allocates what a header claims fails instead of
// swapping (not under the sanitizers, which reserve terabytes of shadow).
class AddressSpaceLimit {
public:
    explicit AddressSpaceLimit(rlim_t bytes) {
        getrlimit(RLIMIT_AS, &saved_);
        rlimit lower = saved_;
        lower.rlim_cur = std::min(bytes, saved_.rlim_max);
        setrlimit(RLIMIT_AS, &lower);
    }
    ~AddressSpaceLimit() { setrlimit(RLIMIT_AS, &saved_); }
    AddressSpaceLimit(const AddressSpaceLimit&) = delete;
    AddressSpaceLimit& operator=(const AddressSpaceLimit&) = delete;

private:
    rlimit saved_{};
};

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

std::string gzip(const std::string& bytes) {
    std::string packed, problem;
    EXPECT_TRUE(gzipBytes(bytes, 6, "a test image", packed, problem)) << problem;
    return packed;
}

TEST(HostileInputs, ImagesClaimingMoreDataThanTheyHoldCostNothing) {
    TestFolder folder;
    writeRun(folder / "run.nii", testGrid(), coupledRun(1, 80), 2.0);
    NiftiHeader huge = testGrid();
    huge.dim = {4, 500, 500, 500, 2, 1, 1, 1};
    huge.rank = 4;
    const std::string header = encodeNiftiRunHeader(huge, 2, 2.0, "claims 1 GB");
    std::string noise(3500, '\0');
    std::mt19937 random(3);
    for (char& c : noise) c = static_cast<char>(random());
    writeWholeFile((folder / "tiny.nii.gz").string(), gzip(header));
    writeWholeFile((folder / "small.nii.gz").string(), gzip(header + noise));
    {
        const AddressSpaceLimit limit(kSanitized ? RLIM_INFINITY : rlim_t{1536} << 20);
        for (const std::string name : {"tiny.nii.gz", "small.nii.gz"}) {
            const std::string what = "a header of 500^3 x 2 voxels in " + name;
            expectRefused(runLdiFor(with({"map", "--bold", name, "--out", "o1"}, kSeed), folder.path().string(),
                                    std::string(), kSeconds),
                          "ends early", what + " as --bold");
            expectRefused(runLdiFor(with({"map", "--bold", "run.nii", "--mask", name, "--out", "o2"}, kSeed),
                                    folder.path().string(), std::string(), kSeconds),
                          name, what + " as --mask");
            expectRefused(runLdiFor({"map", "--bold", "run.nii", "--seed", "B=" + name, "--out", "o3", "--quiet"},
                                    folder.path().string(), std::string(), kSeconds),
                          name, what + " as a seed mask");
            expectRefused(runLdiFor({"info", name}, folder.path().string(), std::string(), kSeconds), "ends early",
                          what + " in ldi info");
        }
    }
    // ldi info reads the whole stream: a cut or a wrong checksum is damage,
    // said once with the file's name.
    std::string sound = readWholeFile((folder / "run.nii").string());
    const std::string packed = gzip(sound);
    writeWholeFile((folder / "cut.nii.gz").string(), packed.substr(0, packed.size() - 6));
    std::string badCrc = packed;
    badCrc[badCrc.size() - 8] = static_cast<char>(badCrc[badCrc.size() - 8] ^ 0x55);
    writeWholeFile((folder / "crc.nii.gz").string(), badCrc);
    writeWholeFile((folder / "sound.nii.gz").string(), packed);
    const LdiOutcome cut = runLdiFor({"info", "cut.nii.gz"}, folder.path().string(), std::string(), kSeconds);
    expectRefused(cut, "ends early", "ldi info of a cut .nii.gz");
    EXPECT_EQ(occurrences(cut.err, "cut.nii.gz"), 1u) << cut.err;
    expectRefused(runLdiFor({"info", "crc.nii.gz"}, folder.path().string(), std::string(), kSeconds), "checksum",
                  "ldi info of a .nii.gz with a wrong checksum");
    const LdiOutcome good = runLdiFor({"info", "sound.nii.gz"}, folder.path().string(), std::string(), kSeconds);
    EXPECT_EQ(good.status, 0) << good.all();
}

// sub-01 and sub-04 sound; sub-02's sidecar is a folder; sub-03's bold a FIFO.
fs::path brokenSubjectsDataset(const fs::path& root) {
    const fs::path data = root / "data";
    fs::create_directories(data);
    writeWholeFile((data / "dataset_description.json").string(), "{\"Name\": \"raw\", \"BIDSVersion\": \"1.8.0\"}\n");
    for (int s = 1; s <= 4; ++s) {
        const std::string sub = "sub-0" + std::to_string(s);
        const fs::path func = data / sub / "func";
        fs::create_directories(func);
        const fs::path bold = func / (sub + "_task-rest_bold.nii");
        if (s == 3)
            EXPECT_EQ(::mkfifo(bold.c_str(), 0600), 0);
        else
            writeRun(bold, testGrid(), coupledRun(static_cast<unsigned>(s), 80), 0.0);
        if (s == 2)
            fs::create_directories(func / (sub + "_task-rest_bold.json"));
        else
            writeWholeFile((func / (sub + "_task-rest_bold.json")).string(), "{\"RepetitionTime\": 2}\n");
    }
    return data;
}

TEST(HostileInputs, OneSubjectsBrokenFilesAreThatSubjectsAlone) {
    TestFolder folder;
    const fs::path data = brokenSubjectsDataset(folder.path());
    const fs::path out = folder / "out";
    const LdiOutcome run = runLdiFor(with({"bids", data.string(), out.string(), "participant"}, kBidsSeed),
                                     folder.path().string(), std::string(), kSeconds);
    ASSERT_FALSE(run.timedOut) << "a FIFO as a bold run blocks the level";
    EXPECT_EQ(run.status, 1) << run.all();
    EXPECT_NE(run.err.find("sub-02"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("is a folder"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("sub-03"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("not a regular file"), std::string::npos) << run.err;
    for (const std::string sub : {"sub-01", "sub-04"})
        EXPECT_TRUE(fs::exists(out / sub / (sub + "_participant.json"))) << sub << "\n" << run.all();
    for (const std::string sub : {"sub-02", "sub-03"})
        EXPECT_FALSE(fs::exists(out / sub / (sub + "_participant.json"))) << sub;
}

TEST(HostileInputs, NothingIsWrittenIntoADataset) {
    TestFolder folder;
    const fs::path data = folder / "data";
    fs::create_directories(data);
    const std::string description = "{\"Name\": \"raw\", \"BIDSVersion\": \"1.8.0\"}\n";
    writeWholeFile((data / "dataset_description.json").string(), description);
    writeWholeFile((data / "task-rest_bold.json").string(), "{\"RepetitionTime\": 2}\n");
    const fs::path bold = data / "sub-01" / "func" / "sub-01_task-rest_bold.nii";
    writeRun(bold, testGrid(), coupledRun(1, 80), 2.0);
    const auto contents = [&] { return folderContents((data / "sub-01" / "func").string()); };
    const std::vector<std::string> before = contents();

    const LdiOutcome intoItself = runLdiFor(with({"bids", data.string(), data.string(), "participant"}, kBidsSeed),
                                            folder.path().string(), std::string(), kSeconds);
    expectRefused(intoItself, "dataset", "ldi bids with the dataset as its output");
    for (const std::string& out : {data.string(), (data / "sub-01" / "func").string(), (data / "sub-01").string()})
        expectRefused(runLdiFor(with({"map", "--bold", bold.string(), "--out", out}, kSeed), folder.path().string(),
                                std::string(), kSeconds),
                      "dataset", "ldi map --out " + out);
    expectRefused(runLdiFor(with({"bids", data.string(), (data / "sub-01").string(), "participant"}, kBidsSeed),
                            folder.path().string(), std::string(), kSeconds),
                  "dataset", "ldi bids with a subject's folder as its output");
    EXPECT_EQ(readWholeFile((data / "dataset_description.json").string()), description);
    EXPECT_EQ(contents(), before);

    // A derivatives folder inside the dataset is where results belong.
    const fs::path derivatives = data / "derivatives" / "ldi";
    const LdiOutcome beside = runLdiFor(with({"bids", data.string(), derivatives.string(), "participant"}, kBidsSeed),
                                        folder.path().string(), std::string(), kSeconds);
    EXPECT_EQ(beside.status, 0) << beside.all();
    EXPECT_TRUE(fs::exists(derivatives / "sub-01" / "sub-01_participant.json"));
    EXPECT_EQ(readWholeFile((data / "dataset_description.json").string()), description);
    // ...and a second run there finds its own description, not a stranger's.
    const LdiOutcome again = runLdiFor(with({"bids", data.string(), derivatives.string(), "participant"}, kBidsSeed),
                                       folder.path().string(), std::string(), kSeconds);
    EXPECT_EQ(again.status, 0) << again.all();
}

}  // namespace

namespace {

// The group level takes the dataset's subjects whose participant level
// finished, and the maps that run wrote; whoever is left out of a key is named.
// A raw BIDS dataset of `subjects` one-run subjects of the task rest.
fs::path writeRawStudy(const fs::path& data, int subjects) {
    fs::create_directories(data);
    writeWholeFile((data / "dataset_description.json").string(), "{\"Name\": \"raw\", \"BIDSVersion\": \"1.8.0\"}\n");
    writeWholeFile((data / "task-rest_bold.json").string(), "{\"RepetitionTime\": 2}\n");
    for (int s = 1; s <= subjects; ++s) {
        const std::string sub = "sub-0" + std::to_string(s);
        writeRun(data / sub / "func" / (sub + "_task-rest_bold.nii"), testGrid(), coupledRun(static_cast<unsigned>(s), 80),
                 2.0);
    }
    return data;
}

TEST(HostileInputs, TheGroupTakesOnlyFinishedSubjectsOfTheDataset) {
    TestFolder folder;
    const fs::path data = writeRawStudy(folder / "data", 4);
    const fs::path out = folder / "out";
    const LdiOutcome participant = runLdiFor(with({"bids", data.string(), out.string(), "participant"}, kBidsSeed),
                                             folder.path().string(), std::string(), kSeconds);
    ASSERT_EQ(participant.status, 0) << participant.all();
    // sub-04 was killed before its summary; sub-77 is a copy from another study;
    // sub-02 holds a condition's map of an earlier run.
    fs::remove(out / "sub-04" / "sub-04_participant.json");
    fs::copy(out / "sub-01", out / "sub-77", fs::copy_options::recursive);
    for (const auto& entry : fs::directory_iterator(out / "sub-77" / "func")) {
        std::string name = entry.path().filename().string();
        name.replace(0, 6, "sub-77");
        fs::rename(entry.path(), out / "sub-77" / "func" / name);
    }
    fs::rename(out / "sub-77" / "sub-01_participant.json", out / "sub-77" / "sub-77_participant.json");
    for (const auto& entry : fs::directory_iterator(out / "sub-02" / "func")) {
        std::string name = entry.path().filename().string();
        const std::size_t at = name.find("_cond-rest_");
        if (at != std::string::npos && name.find("contrast-dldi_stat-effect_statmap.nii.gz") != std::string::npos)
            fs::copy(entry.path(), out / "sub-02" / "func" / name.replace(at, 11, "_cond-old_"));
    }
    const LdiOutcome group = runLdiFor({"bids", data.string(), out.string(), "group", "--permutations", "50",
                                        "--rng-seed", "1"},
                                       folder.path().string(), std::string(), kSeconds);
    EXPECT_EQ(group.status, 0) << group.all();
    EXPECT_NE(group.err.find("sub-04 left out: no finished participant level"), std::string::npos) << group.err;
    const nlohmann::json record = nlohmann::json::parse(readWholeFile((out / "group" / "group.json").string()));
    ASSERT_FALSE(record["Maps"].empty());
    for (const auto& key : record["Maps"]) {
        EXPECT_EQ(key["Subjects"], nlohmann::json({"01", "02", "03"})) << key.dump();
        EXPECT_EQ(key["LeftOut"].size(), 1u) << key.dump();
        EXPECT_EQ(key["Key"].get<std::string>().find("cond-old"), std::string::npos) << key.dump();
    }
}

// Subjects regressed on different confound columns are no group: the
// columns each used are in its summary, and the group level compares them.
TEST(HostileInputs, TheGroupRefusesSubjectsRegressedOnDifferentColumns) {
    TestFolder folder;
    const fs::path data = writeRawStudy(folder / "data", 3);
    const fs::path out = folder / "out";
    const LdiOutcome participant = runLdiFor(with({"bids", data.string(), out.string(), "participant"}, kBidsSeed),
                                             folder.path().string(), std::string(), kSeconds);
    ASSERT_EQ(participant.status, 0) << participant.all();
    // sub-02's summary as a run regressed on two motion columns would write it.
    const fs::path summary = out / "sub-02" / "sub-02_participant.json";
    nlohmann::json record = nlohmann::json::parse(readWholeFile(summary.string()));
    for (auto& analysis : record["Analyses"]) analysis["Confounds"] = {{"Columns", {"trans_x", "trans_y"}}};
    writeWholeFile(summary.string(), record.dump(2) + "\n");
    const LdiOutcome group = runLdiFor({"bids", data.string(), out.string(), "group", "--permutations", "50"},
                                       folder.path().string(), std::string(), kSeconds);
    expectRefused(group, "sub-02 was regressed on the confound columns", "mixed confound columns");
    EXPECT_FALSE(fs::exists(out / "group" / "group.json"));
}

}  // namespace

namespace {

// A run removes what killed runs left in its folder, and only that: files of a
// process that still runs stay.
TEST(HostileInputs, LeftoversOfKilledRunsAreRemovedByTheNextRun) {
    TestFolder folder;
    writeRun(folder / "run.nii", testGrid(), coupledRun(1, 80), 2.0);
    const pid_t ended = ::fork();
    if (ended == 0) ::_exit(0);
    ASSERT_GT(ended, 0);
    ::waitpid(ended, nullptr, 0);
    fs::create_directories(folder / "out");
    const ProcessPlace here = currentProcessPlace();
    const std::string stale = ".ldi-save-" + processTag(ended, here) + "-7-seed-A_ldi.json.tmp";
    const std::string live = ".ldi-save-" + processTag(::getpid(), here) + "-7-seed-A_ldi.json.tmp";
    // The same process id in another PID namespace (a container, a node's job) may run: kept.
    const std::string foreign =
        ".ldi-save-" + processTag(ended, ProcessPlace{here.host, here.boot, "1"}) + "-7-seed-A_ldi.json.tmp";
    writeWholeFile((folder / "out" / foreign).string(), "being written elsewhere");
    writeWholeFile((folder / "out" / stale).string(), "half");
    writeWholeFile((folder / "out" / live).string(), "being written");
    const LdiOutcome run = runLdiFor(with({"map", "--bold", "run.nii", "--out", "out"}, kSeed), folder.path().string(),
                                     std::string(), kSeconds);
    ASSERT_EQ(run.status, 0) << run.all();
    EXPECT_FALSE(fs::exists(folder / "out" / stale));
    EXPECT_TRUE(fs::exists(folder / "out" / live));
    EXPECT_TRUE(fs::exists(folder / "out" / foreign));
    // The run's own temporaries are gone once it ends.
    for (const std::string& name : folderContents((folder / "out").string()))
        EXPECT_TRUE(name == live || name == foreign || name.find(".tmp") == std::string::npos) << name;
}

}  // namespace

namespace {

// Runs into one folder at once take turns: each seed's files are one run's,
// and two runs making the same new folder both succeed.
TEST(HostileInputs, RunsIntoOneFolderAtOnceDoNotMixTheirFiles) {
    TestFolder folder;
    writeRun(folder / "run.nii", testGrid(), coupledRun(1, 200), 2.0);
    for (int round = 0; round < 3; ++round) {
        const std::string out = "cm" + std::to_string(round);
        LdiProcess first, second;
        const auto arguments = [&](const std::string& seed) {
            return std::vector<std::string>{"map", "--bold", "run.nii", "--seed", "A=-7.5,0,0,2", "--surrogates",
                                            "40", "--rng-seed", seed, "--quiet", "--out", out};
        };
        ASSERT_TRUE(first.start(arguments("5"), folder.path().string()));
        ASSERT_TRUE(second.start(arguments("6"), folder.path().string()));
        const LdiOutcome a = first.finish(kSeconds), b = second.finish(kSeconds);
        EXPECT_EQ(a.status, 0) << a.all();
        EXPECT_EQ(b.status, 0) << b.all();
        // Every sidecar of the seed comes from the run whose index is there.
        const nlohmann::json index = nlohmann::json::parse(readWholeFile((folder / out / "seed-A_ldi.json").string()));
        for (const std::string& name : folderContents((folder / out).string())) {
            if (name.find("_stat-") == std::string::npos || name.size() < 5 ||
                name.compare(name.size() - 5, 5, ".json") != 0)
                continue;
            const nlohmann::json sidecar = nlohmann::json::parse(readWholeFile((folder / out / name).string()));
            EXPECT_EQ(sidecar["RngSeed"], index["rngSeed"]) << name << " (round " << round << ")";
        }
    }
}

}  // namespace
