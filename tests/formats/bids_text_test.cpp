// The text files of a BIDS study as other tools write them: byte-order marks
// before the header, names too long to become file names, and events whose
// times are far from the run; the volumes of events against a count over
// every volume.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "base/names.h"
#include "formats/bids_inputs.h"
#include "formats/confounds.h"

using namespace ldi;
namespace fs = std::filesystem;

namespace {

fs::path writeText(const std::string& name, const std::string& text) {
    const fs::path path = fs::temp_directory_path() / ("ldi_bids_text_" + std::to_string(::getpid()) + "_" + name);
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

const std::string kBom = "\xEF\xBB\xBF";

TEST(BidsText, ByteOrderMarksAndOverlongNamesAreReadOrRefusedAsTheyAre) {
    // A mark before the header is no part of the first column's name.
    const fs::path confounds = writeText("confounds.tsv", kBom + "trans_x\ttrans_y\tcsf\n0.1\t0.2\t3\n0.3\tn/a\t4\n");
    ConfoundTable table;
    std::string problem;
    ASSERT_TRUE(readConfounds(confounds.string(), {"trans_*"}, 0, table, problem)) << problem;
    EXPECT_EQ(table.names, (std::vector<std::string>{"trans_x", "trans_y"}));
    ASSERT_TRUE(readConfounds(confounds.string(), {"trans_x", "csf"}, 0, table, problem)) << problem;
    EXPECT_EQ(table.names, (std::vector<std::string>{"trans_x", "csf"}));

    const fs::path events = writeText("events.tsv", kBom + "onset\tduration\ttrial_type\n0\t10\tgo\n");
    std::vector<Event> read;
    ASSERT_TRUE(readEventsFile(events.string(), "all", read, problem)) << problem;
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].line, 2);

    // A trial_type becomes part of file names: too long is refused on its line.
    const fs::path longType =
        writeText("long.tsv", "onset\tduration\ttrial_type\n0\t10\tgo\n5\t1\t" + std::string(300, 'x') + "\n");
    EXPECT_FALSE(readEventsFile(longType.string(), "all", read, problem));
    EXPECT_NE(problem.find("long.tsv:3"), std::string::npos) << problem;

    // A sidecar in Latin-1 is named as such, not as no JSON.
    const fs::path latin = writeText("latin.json", "{\"TaskName\": \"r\xE9sting\", \"RepetitionTime\": 2}\n");
    nlohmann::json document;
    EXPECT_FALSE(readJsonSidecar(latin.string(), document, problem));
    EXPECT_NE(problem.find("UTF-8"), std::string::npos) << problem;
    const fs::path folder = writeText("folder", "");
    fs::remove(folder);
    fs::create_directories(folder);
    EXPECT_FALSE(readJsonSidecar(folder.string(), document, problem));
    EXPECT_NE(problem.find("is a folder"), std::string::npos) << problem;
    for (const fs::path& path : {confounds, events, longType, latin, folder}) fs::remove_all(path);
}

// Names and labels the user gives: UTF-8 text (by the standard's rules:
// no overlong forms, surrogates or cut characters), no control bytes, and a
// length within the limit; and where they are read, the file and line.
TEST(BidsText, NamesAreUtf8TextOfASaneLengthWhereverTheyAreRead) {
    struct Case {
        const char* what;
        std::string name;
        const char* problem;  // "" for a sound name
    };
    const Case cases[] = {
        {"ASCII", "PCC-left_1", ""},
        {"two-byte characters", "pr\xC3\xA9", ""},
        {"a four-byte character", "\xF0\x9F\xA7\xA0", ""},
        {"the limit exactly", std::string(MAX_NAME_BYTES, 'a'), ""},
        {"one byte past it", std::string(MAX_NAME_BYTES + 1, 'a'), "is 257 bytes long"},
        {"empty", "", "is empty"},
        {"Latin-1", "pr\xE9", "is not UTF-8 text (byte 0xE9 at 3)"},
        {"a cut character", "ab\xC3", "is not UTF-8 text (byte 0xC3 at 3)"},
        {"an overlong slash", "\xC0\xAF", "is not UTF-8 text (byte 0xC0 at 1)"},
        {"a surrogate", "\xED\xA0\x80", "is not UTF-8 text (byte 0xED at 1)"},
        {"past U+10FFFF", "\xF4\x90\x80\x80", "is not UTF-8 text (byte 0xF4 at 1)"},
        {"a tab", "a\tb", "holds the control byte 0x09 at 2"},
        {"an escape", "\x1B[2J", "holds the control byte 0x1B at 1"},
        {"delete", "a\x7F", "holds the control byte 0x7F at 2"},
    };
    for (const Case& c : cases) {
        const std::string found = nameProblem(c.name);
        if (*c.problem == '\0') {
            EXPECT_EQ(found, "") << c.what;
        } else {
            EXPECT_EQ(found.rfind(c.problem, 0), 0u) << c.what << ": " << found;
        }
        // In the trial_type column: refused on its line, or read as it is.
        if (c.name.empty() || c.name.size() > MAX_TRIAL_TYPE_BYTES || c.name.find('\t') != std::string::npos)
            continue;
        const fs::path events = writeText("types.tsv", "onset\tduration\ttrial_type\n0\t10\t" + c.name + "\n");
        std::vector<Event> read;
        std::string problem;
        EXPECT_EQ(readEventsFile(events.string(), "all", read, problem), *c.problem == '\0') << c.what;
        if (*c.problem != '\0') {
            EXPECT_NE(problem.find("types.tsv:2: the trial_type " + std::string(c.problem)), std::string::npos)
                << c.what << ": " << problem;
        }
        // As a chosen confounds column: refused naming the file and column.
        const fs::path confounds = writeText("names.tsv", "csf\t" + c.name + "\n1\t2\n3\t4\n");
        ConfoundTable table;
        EXPECT_EQ(readConfounds(confounds.string(), {"*"}, 0, table, problem), *c.problem == '\0') << c.what;
        if (*c.problem != '\0') {
            EXPECT_NE(problem.find("names.tsv: the name of column 2 " + std::string(c.problem)), std::string::npos)
                << c.what << ": " << problem;
        }
        fs::remove(events);
        fs::remove(confounds);
    }
}

// The volumes of an event by their definition: volume i at i * tr + shift
// lies in [onset, onset + duration).
std::vector<int> volumesByCount(const Event& event, double tr, double shift, int volumes, int skip) {
    std::vector<int> inside;
    for (int i = skip; i < volumes; ++i) {
        const double time = i * tr + shift;
        if (time >= event.onset && time < event.onset + event.duration) inside.push_back(i + 1);
    }
    return inside;
}

TEST(BidsText, EventsWithCommasAreNamedSoAndTrialTypeIsOptional) {
    std::vector<Event> read;
    std::string problem;
    // A table saved with commas: the header, or a line under a tab-separated header.
    const fs::path commas = writeText("commas.tsv", "onset,duration,trial_type\n0,10,go\n");
    EXPECT_FALSE(readEventsFile(commas.string(), "all", read, problem));
    EXPECT_NE(problem.find("commas.tsv:1: "), std::string::npos) << problem;
    EXPECT_NE(problem.find("separated by commas, but BIDS events files are tab-separated"), std::string::npos) << problem;
    const fs::path mixed = writeText("mixed.tsv", "onset\tduration\ttrial_type\n0\t10\tgo\n5,1,stop\n");
    EXPECT_FALSE(readEventsFile(mixed.string(), "all", read, problem));
    EXPECT_NE(problem.find("mixed.tsv:3: 1 cells where the header names 3 columns; the line is separated by commas"),
              std::string::npos)
        << problem;
    // A tab-separated file missing a column is told so, without the hint.
    const fs::path noDuration = writeText("noduration.tsv", "onset\ttrial_type\n0\tgo, fast\n");
    EXPECT_FALSE(readEventsFile(noDuration.string(), "all", read, problem));
    EXPECT_NE(problem.find("missing: duration"), std::string::npos) << problem;
    EXPECT_EQ(problem.find("commas"), std::string::npos) << problem;

    // Without trial_type every event is of the condition the caller names.
    const fs::path untyped = writeText("untyped.tsv", "onset\tduration\tresponse_time\n0\t10\t0.4\n20\t5\tn/a\n");
    ASSERT_TRUE(readEventsFile(untyped.string(), "rest", read, problem)) << problem;
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[0].type, "rest");
    EXPECT_EQ(read[1].type, "rest");
    EXPECT_EQ(read[1].onset, 20.0);
    EXPECT_EQ(taskConditionName("/data/sub-01/func/sub-01_task-motor_run-2_bold.nii.gz"), "motor");
    EXPECT_EQ(taskConditionName("/data/run.nii"), "all");
}

TEST(BidsText, EventVolumesMatchACountAndFarTimesEndPromptly) {
    std::mt19937 random(11);
    std::uniform_real_distribution<double> uniform(-50.0, 250.0);
    const int volumes = 100;
    for (int trial = 0; trial < 2000; ++trial) {
        const double tr = 0.5 + (trial % 7) * 0.37;
        const double shift = (trial % 5) * 0.3 - 0.6;
        const Event event{uniform(random), std::fabs(uniform(random)) / 4.0, "A", 2};
        const EventIntervals found = eventIntervals({event}, "A", tr, shift, volumes, 3, 0);
        std::vector<int> listed;
        for (const Interval& interval : found.intervals)
            for (int v = interval.first; v <= interval.last; ++v) listed.push_back(v);
        ASSERT_EQ(listed, volumesByCount(event, tr, shift, volumes, 3))
            << "onset " << event.onset << " duration " << event.duration << " tr " << tr << " shift " << shift;
    }
    // Times far beyond the run: no volume, and no walk over 1e20 volumes.
    for (const Event& far : {Event{1e20, 10, "A", 2}, Event{0, 3e19, "A", 2}, Event{-1e300, 1e308, "A", 2},
                             Event{0, 1e308, "A", 2}}) {
        const EventIntervals found = eventIntervals({far}, "A", 2.0, 0.0, volumes, 0, 0);
        for (const Interval& interval : found.intervals) EXPECT_LE(interval.last, volumes);
        std::string problem;
        EXPECT_FALSE(checkEventTimes({far}, "e.tsv", 2.0, 0.0, volumes, problem));
        EXPECT_NE(problem.find("e.tsv:2"), std::string::npos) << problem;
    }
    EXPECT_TRUE(eventIntervals({Event{0, 10, "A", 2}}, "A", 1e-300, 0.0, volumes, 0, 0).intervals.size() <= 1);
    std::string problem;
    EXPECT_TRUE(checkEventTimes({Event{190, 30, "A", 2}}, "e.tsv", 2.0, 0.0, volumes, problem)) << problem;
    EXPECT_FALSE(checkEventTimes({Event{0, 10, "A", 2}}, "e.tsv", 2.0, NAN, volumes, problem));
}

}  // namespace
