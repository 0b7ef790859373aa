// The metadata a run inherits is found along the dataset's own folders: a
// subject folder that is a link to one elsewhere inherits from the dataset
// above the link, never from what lies around the link's target.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "study/bids_dataset.h"

using namespace ldi;
namespace fs = std::filesystem;

namespace {

void writeText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

TEST(DatasetPaths, InheritanceWalksTheDatasetsOwnPathAndStopsAtItsTop) {
    const fs::path root = fs::temp_directory_path() / ("ldi_dataset_paths_" + std::to_string(::getpid()));
    fs::remove_all(root);
    const fs::path study = root / "lab" / "study";
    const fs::path elsewhere = root / "elsewhere";
    writeText(study / "task-rest_bold.json", "{\"RepetitionTime\": 2}\n");
    writeText(study / "sub-01" / "func" / "sub-01_task-rest_bold.nii", "");
    // Planted around the link's target and above the dataset: neither applies.
    writeText(elsewhere / "task-rest_bold.json", "{\"RepetitionTime\": 99}\n");
    writeText(elsewhere / "sub-02" / "func" / "sub-02_task-rest_bold.nii", "");
    writeText(root / "lab" / "task-rest_bold.json", "{\"RepetitionTime\": 77}\n");
    fs::create_directory_symlink(elsewhere / "sub-02", study / "sub-02");

    for (const std::string& top : {study.string(), study.string() + "/"}) {
        const std::vector<std::string> linked =
            inheritedFiles(top, (study / "sub-02" / "func" / "sub-02_task-rest_bold.nii").string(), "_bold.json");
        ASSERT_EQ(linked.size(), 1u) << top;
        EXPECT_EQ(fs::path(linked[0]).parent_path().filename(), "study") << linked[0];
        const std::vector<std::string> plain =
            inheritedFiles(top, (study / "sub-01" / "func" / "sub-01_task-rest_bold.nii").string(), "_bold.json");
        EXPECT_EQ(plain, linked);
    }
    // A run given from outside the dataset inherits nothing of it or its surroundings.
    EXPECT_TRUE(inheritedFiles(study.string(), (elsewhere / "sub-02" / "func" / "sub-02_task-rest_bold.nii").string(),
                               "_bold.json")
                    .empty());
    if (!::testing::Test::HasFailure()) fs::remove_all(root);
}

}  // namespace
