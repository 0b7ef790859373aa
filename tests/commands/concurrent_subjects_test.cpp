// ldi bids analyses the subjects of its participant level side by side: the
// files, the reports and what it prints must be those of the subjects one
// after the other (one thread), byte for byte but for the date they record.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "stats/parallel.h"
#include "support/gzip_contents.h"
#include "support/host_test_support.h"

using namespace ldi;
namespace fs = std::filesystem;

namespace {

// "2026-01-01T00:00:00Z" and the like become "DATE": the only expected
// difference between two runs a second apart.
std::string withoutDates(std::string text) {
    const std::string shape = "dddd-dd-ddTdd:dd:ddZ";
    for (std::size_t at = 0; at + shape.size() <= text.size(); ++at) {
        std::size_t k = 0;
        while (k < shape.size() &&
               (shape[k] == 'd' ? std::isdigit(static_cast<unsigned char>(text[at + k])) != 0 : text[at + k] == shape[k]))
            ++k;
        if (k == shape.size()) text.replace(at, shape.size(), "DATE");
    }
    return text;
}

// The text with each run generation ("<32 hex digits>") as "GENERATION":
// every run draws its own.
std::string withoutGenerations(std::string text) {
    for (std::size_t at = text.find('"'); at != std::string::npos && at + 33 < text.size(); at = text.find('"', at + 1)) {
        std::size_t k = 1;
        while (k <= 32 && std::isxdigit(static_cast<unsigned char>(text[at + k])) != 0) ++k;
        if (k == 33 && text[at + 33] == '"') text.replace(at + 1, 32, "GENERATION");
    }
    return text;
}

// Every file under `root` by its path below it, dates blanked in the texts
// and the thread count in the command line the reports and sidecars record;
// a gzip file by what it holds. (Under a loaded test suite the compressed
// bytes of one map have differed, now and then, with the same image inside:
// that is not what this test is about; tests/formats/gzip_output_test.cpp
// holds the compression to the same bytes.)
std::map<std::string, std::string> filesUnder(const fs::path& root, const std::string& threads) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file()) continue;
        const std::string name = entry.path().string();
        std::string content = readWholeFile(name);
        const std::string extension = entry.path().extension().string();
        std::string inside;
        if (extension == ".gz") content = inflateWithZlib(content, inside) ? "inflated: " + inside : "not gzip";
        if (extension == ".json" || extension == ".html" || extension == ".log") content = withoutDates(content);
        if (extension == ".json") content = withoutGenerations(content);
        if (extension == ".html" || extension == ".json")
            for (std::size_t typed = content.find(threads); typed != std::string::npos;
                 typed = content.find(threads, typed + 1))
                content.replace(typed, threads.size(), "--threads N");
        files[fs::relative(entry.path(), root).string()] = content;
    }
    return files;
}

TEST(ConcurrentSubjects, SideBySideGivesTheFilesAndOutputOfOneSubjectAfterTheOther) {
    if (availableCoreCount() < 2) GTEST_SKIP() << "one core: the subjects cannot go side by side";
    const fs::path folder = fs::temp_directory_path() / ("ldi_concurrent_subjects_" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    const fs::path data = folder / "study";
    const ProcessResult simulated =
        runLdi({"simulate", "--bids", data.string(), "--subjects", "5", "--seed", "2"}, folder.string());
    ASSERT_EQ(simulated.status, 0) << simulated.all();

    // The same output folder for both, since the files name it; progress on.
    const fs::path out = folder / "out";
    const auto participant = [&](const std::string& threads) {
        return runLdi({"bids", data.string(), out.string(), "participant", "--derivatives",
                       (data / "derivatives" / "fmriprep").string(), "--seed", "PCC=0,0,0,8", "--confounds",
                       "trans_?", "--surrogates", "50", "--rng-seed", "3", "--threads", threads},
                      folder.string());
    };
    const ProcessResult serial = participant("1");
    ASSERT_EQ(serial.status, 0) << serial.all();
    const std::map<std::string, std::string> serialFiles = filesUnder(out, "--threads 1");
    fs::remove_all(out);
    const ProcessResult sideBySide = participant("2");
    ASSERT_EQ(sideBySide.status, 0) << sideBySide.all();
    const std::map<std::string, std::string> sideBySideFiles = filesUnder(out, "--threads 2");

    EXPECT_EQ(serial.out, sideBySide.out);
    EXPECT_EQ(serial.err, sideBySide.err);
    ASSERT_GT(serialFiles.size(), 5u * 12u);
    std::vector<std::string> names, otherNames;
    for (const auto& file : serialFiles) names.push_back(file.first);
    for (const auto& file : sideBySideFiles) otherNames.push_back(file.first);
    ASSERT_EQ(names, otherNames);
    for (const auto& file : serialFiles)
        EXPECT_TRUE(file.second == sideBySideFiles.at(file.first)) << file.first << " differs";
    if (!::testing::Test::HasFailure()) fs::remove_all(folder);
}

}  // namespace
