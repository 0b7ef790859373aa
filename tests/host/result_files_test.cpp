// The files of the host's save: .ldi image, NIfTI files, .json, and the
// all-or-nothing save.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <limits>
#include <set>

#include <nifti1_io.h>
#include <zlib.h>

#include "formats/ldi_file.h"
#include "formats/nifti_map.h"
#include "formats/result_index.h"
#include "host/result_files.h"
#include "formats/temporary_files.h"
#include "support/host_test_support.h"
#include "support/vtc_writer.h"

using namespace ldi;

namespace {

LdiFile sampleMapSet() {
    LdiFile file;
    LdiGeometry& g = file.geometry;
    g.xStart = 57;
    g.xEnd = 66;
    g.yStart = -3;
    g.yEnd = 3;
    g.zStart = 10;
    g.zEnd = 13;
    g.resolution = 3;
    g.dimX = 3;
    g.dimY = 2;
    g.dimZ = 1;
    file.levelLabels = {"thres q=0.010", "thres q=0.050", ""};
    for (int m = 0; m < 3; ++m) {
        LdiMap map;
        map.name = m == 0 ? "A: Ref2Vox" : (m == 1 ? "A: dLDI IT" : "A: dLDI?IT");
        map.mapKind = 101;
        map.lowerThreshold = 0.05f * float(m + 1);
        map.upperThreshold = 3.0f * map.lowerThreshold;
        map.positiveColourLow = 0x40 << (8 * m);
        map.positiveColourHigh = 0xFF;
        map.negativeColourLow = -1;
        map.negativeColourHigh = 0x4000;
        map.useNegativeColours = 1;
        map.fdrThresholds = {1.5f, std::numeric_limits<float>::quiet_NaN(), 0.0f};
        for (int v = 0; v < 6; ++v) map.voxels.push_back(float(m * 10 + v) - 2.5f);
        file.maps.push_back(map);
    }
    return file;
}

uint32_t readU32(const std::string& bytes, std::size_t at) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= uint32_t(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    return value;
}

}  // namespace

TEST(LdiFormat, RoundTripKeepsEveryField) {
    const LdiFile original = sampleMapSet();
    const std::string bytes = encodeLdi(original);
    // Fixed part: magic, version, ten geometry values, two counts.
    EXPECT_EQ(bytes.substr(0, 8), std::string("LDIMAPS\0", 8));
    EXPECT_EQ(readU32(bytes, 8), 1u);
    EXPECT_EQ(int32_t(readU32(bytes, 12)), 57);
    EXPECT_EQ(int32_t(readU32(bytes, 20)), -3);
    EXPECT_EQ(int32_t(readU32(bytes, 36)), 3);   // resolution
    EXPECT_EQ(int32_t(readU32(bytes, 48)), 1);   // dimZ
    // The last four bytes: zlib's CRC-32 of all before them.
    const std::size_t body = bytes.size() - 4;
    EXPECT_EQ(readU32(bytes, body), static_cast<uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(bytes.data()),
                                                                 static_cast<uInt>(body))));
    EXPECT_EQ(int32_t(readU32(bytes, 52)), 3);   // levels
    EXPECT_EQ(int32_t(readU32(bytes, 56)), 3);   // maps
    EXPECT_EQ(readU32(bytes, 60), 13u);          // length of the first label

    Parsed<LdiFile> decoded = decodeLdi(bytes);
    ASSERT_TRUE(decoded.ok) << decoded.message;
    const LdiFile& copy = decoded.value;
    EXPECT_EQ(copy.geometry.xEnd, 66);
    EXPECT_EQ(copy.geometry.zStart, 10);
    EXPECT_EQ(copy.levelLabels, original.levelLabels);
    ASSERT_EQ(copy.maps.size(), 3u);
    for (std::size_t m = 0; m < 3; ++m) {
        const LdiMap& a = original.maps[m];
        const LdiMap& b = copy.maps[m];
        EXPECT_EQ(b.name, a.name);
        EXPECT_EQ(b.mapKind, 101);
        EXPECT_EQ(b.lowerThreshold, a.lowerThreshold);
        EXPECT_EQ(b.upperThreshold, a.upperThreshold);
        EXPECT_EQ(b.positiveColourLow, a.positiveColourLow);
        EXPECT_EQ(b.negativeColourLow, -1);
        EXPECT_EQ(b.negativeColourHigh, 0x4000);
        EXPECT_EQ(b.useNegativeColours, 1);
        EXPECT_EQ(b.fdrThresholds[0], 1.5f);
        EXPECT_TRUE(std::isnan(b.fdrThresholds[1]));
        EXPECT_EQ(b.voxels, a.voxels);
    }
}

TEST(LdiFormat, AMapShorterThanItsGridIsStoredPaddedWithZeros) {
    // Short maps are converted into one block; full ones are written from
    // where they lie. Both ways must give the same file.
    LdiFile shortened = sampleMapSet();
    shortened.maps[1].voxels.resize(4);
    LdiFile padded = shortened;
    padded.maps[1].voxels.assign(shortened.maps[1].voxels.begin(), shortened.maps[1].voxels.end());
    padded.maps[1].voxels.push_back(0.0f);
    padded.maps[1].voxels.push_back(0.0f);
    const std::string bytes = encodeLdi(shortened);
    EXPECT_EQ(bytes, encodeLdi(padded));
    Parsed<LdiFile> decoded = decodeLdi(bytes);
    ASSERT_TRUE(decoded.ok) << decoded.message;
    EXPECT_EQ(decoded.value.maps[1].voxels, padded.maps[1].voxels);
}

TEST(LdiFormat, DamagedFilesAreRefusedWithAReason) {
    const std::string bytes = encodeLdi(sampleMapSet());
    // Every truncation fails, none crashes or allocates from a bad count.
    for (std::size_t size = 0; size < bytes.size(); ++size)
        EXPECT_FALSE(decodeLdi(bytes.substr(0, size)).ok) << size;
    EXPECT_FALSE(decodeLdi(bytes + "x").ok);
    // Any changed byte is found, by the structure or by the checksum.
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        std::string changed = bytes;
        changed[at] = char(changed[at] ^ 0x5a);
        EXPECT_FALSE(decodeLdi(changed).ok) << at;
    }
    std::string version = bytes;
    version[8] = 2;
    EXPECT_NE(decodeLdi(version).message.find("unsupported format version 2"), std::string::npos);
    EXPECT_NE(decodeLdi("PNG\0...").message.find("not an LDI map file"), std::string::npos);
    std::string hugeCounts = bytes.substr(0, 52);
    hugeCounts += std::string("\xff\xff\xff\x7f\xff\xff\xff\x7f", 8);
    EXPECT_NE(decodeLdi(hugeCounts).message.find("do not fit"), std::string::npos);
}

TEST(ResultNames, LabelsAreSafeAndUnique) {
    std::vector<LdiMap> maps(5);
    maps[0].name = "A: dLDI IT";
    maps[1].name = "A: dLDI?IT";  // the same label as map 0
    maps[2].name = "B: Inst";
    maps[3].name = "A_dLDI_IT_1";  // what map 1 would become
    maps[4].name = "";
    std::vector<std::string> labels = niftiLabels(maps);
    EXPECT_EQ(labels[0], "A_dLDI_IT_0");
    EXPECT_EQ(labels[2], "B_Inst");
    EXPECT_EQ(labels[4], "");
    EXPECT_NE(labels[1], labels[3]);
    std::set<std::string> distinct(labels.begin(), labels.end());
    EXPECT_EQ(distinct.size(), labels.size());

    double q = 0;
    EXPECT_TRUE(qFromLabel("thres q=0.050", q));
    EXPECT_DOUBLE_EQ(q, 0.05);
    EXPECT_FALSE(qFromLabel("thres q=", q));
    EXPECT_FALSE(qFromLabel("level 1", q));
    EXPECT_FALSE(qFromLabel("q=nan", q));
    EXPECT_EQ(versionFromPluginName("Lagged Dependency Imaging (LDI) v1.5"), "1.5");
    EXPECT_EQ(versionFromPluginName("vague name"), "");
}

TEST(ResultJson, KeysInFixedOrderAndFloatsAsTheirExactWidening) {
    const LdiFile file = sampleMapSet();
    nlohmann::ordered_json json =
        resultJson(file, {"LDI v1.5", "1.5"}, "P_V.ldi", {"P_V_a.nii.gz", "P_V_b.nii.gz", "P_V_c.nii.gz"});
    std::vector<std::string> keys;
    for (auto it = json.begin(); it != json.end(); ++it) keys.push_back(it.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"formatVersion", "plugin", "mapFile", "geometry", "levels", "maps",
                                              "warnings"}));
    EXPECT_EQ(json["geometry"]["box"]["yStart"], -3);
    EXPECT_EQ(json["geometry"]["dimX"], 3);
    const auto& map = json["maps"][1];
    std::vector<std::string> mapKeys;
    for (auto it = map.begin(); it != map.end(); ++it) mapKeys.push_back(it.key());
    EXPECT_EQ(mapKeys, (std::vector<std::string>{"index", "displayName", "niftiFile", "mapKind", "lowerThreshold",
                                                 "upperThreshold", "colours", "fdrThresholds"}));
    EXPECT_EQ(map["index"], 1);
    EXPECT_EQ(map["niftiFile"], "P_V_b.nii.gz");
    // A reader comparing a float32 voxel, widened, with the threshold as it
    // parses it keeps the voxel that equals the threshold.
    const nlohmann::json reread = nlohmann::json::parse(map.dump());
    EXPECT_EQ(reread["lowerThreshold"].get<double>(), static_cast<double>(0.1f));
    EXPECT_NE(map.dump().find("0.10000000149011612"), std::string::npos) << map.dump();
    EXPECT_EQ(map["colours"]["positiveLow"], 0x4000);
    EXPECT_EQ(map["fdrThresholds"][0]["q"], 0.01);
    EXPECT_EQ(map["fdrThresholds"][0]["threshold"], 1.5);
    EXPECT_TRUE(map["fdrThresholds"][1]["threshold"].is_null());  // NaN
    EXPECT_TRUE(map["fdrThresholds"][2]["q"].is_null());          // unlabelled level
}

TEST(NiftiOutput, GeometryIntentAndVoxelsReadBack) {
    TestTempDir dir;
    const LdiFile file = sampleMapSet();
    std::string problem;
    const std::string path = dir.path("map.nii.gz");
    ASSERT_TRUE(writeNiftiMap(path, file.geometry, file.maps[1], problem)) << problem;
    nifti_image* image = nifti_image_read(path.c_str(), 1);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->ndim, 3);
    EXPECT_EQ(image->nx, 3);
    EXPECT_EQ(image->ny, 2);
    EXPECT_EQ(image->nz, 1);
    EXPECT_EQ(image->datatype, NIFTI_TYPE_FLOAT32);
    EXPECT_EQ(image->intent_code, NIFTI_INTENT_ESTIMATE);
    EXPECT_STREQ(image->descrip, "A: dLDI IT");
    EXPECT_FLOAT_EQ(image->dx, 3.0f);
    EXPECT_GT(image->qform_code, 0);
    EXPECT_GT(image->sform_code, 0);
    EXPECT_EQ(image->qform_code, NIFTI_XFORM_TALAIRACH);
    EXPECT_EQ(image->sform_code, NIFTI_XFORM_TALAIRACH);
    nifti_image_free(image);

    // Both transforms put a voxel centre (internal box start + index x
    // resolution) at its Talairach point: grid voxel (7, 5, 3) of a box from
    // (100, 100, 100) at resolution 3 lies at (19, 7, 13).
    LdiFile big = sampleMapSet();
    LdiGeometry& g = big.geometry;
    g.xStart = g.yStart = g.zStart = 100;
    g.dimX = 8;
    g.dimY = 6;
    g.dimZ = 4;
    g.xEnd = 124;
    g.yEnd = 118;
    g.zEnd = 112;
    big.maps[1].voxels.assign(static_cast<std::size_t>(g.voxelCount()), 0.0f);
    ASSERT_TRUE(writeNiftiMap(path, g, big.maps[1], problem)) << problem;
    image = nifti_image_read(path.c_str(), 1);
    ASSERT_NE(image, nullptr);
    for (const mat44& m : {image->qto_xyz, image->sto_xyz}) {
        const float ijk[3] = {7.0f, 5.0f, 3.0f};
        const float expected[3] = {19.0f, 7.0f, 13.0f};
        for (int row = 0; row < 3; ++row) {
            const float world = m.m[row][0] * ijk[0] + m.m[row][1] * ijk[1] + m.m[row][2] * ijk[2] + m.m[row][3];
            EXPECT_NEAR(world, expected[row], 1e-4f) << "row " << row;
        }
    }
    nifti_image_free(image);

    ASSERT_TRUE(writeNiftiMap(path, file.geometry, file.maps[1], problem)) << problem;
    image = nifti_image_read(path.c_str(), 1);
    ASSERT_NE(image, nullptr);
    // Voxel (x, y, z) at index (x, y, z): the [z][y][x] order is kept.
    const float* data = static_cast<const float*>(image->data);
    for (int v = 0; v < 6; ++v) EXPECT_EQ(data[v], file.maps[1].voxels[v]);
    nifti_image_free(image);
}

TEST(SaveResults, WritesAllFilesUnderFinalNamesOnly) {
    TestTempDir dir;
    const LdiFile file = sampleMapSet();
    std::string problem;
    ASSERT_TRUE(saveResultFiles(dir.path("P_V.ldi"), file, {"LDI v1.5", "1.5"}, problem)) << problem;
    EXPECT_EQ(folderContents(dir.root()), (std::vector<std::string>{"P_V.json", "P_V.ldi", "P_V_A_Ref2Vox.nii.gz",
                                                             "P_V_A_dLDI_IT_1.nii.gz", "P_V_A_dLDI_IT_2.nii.gz"}));
    Parsed<LdiFile> reread = decodeLdi(readWholeFile(dir.path("P_V.ldi")));
    ASSERT_TRUE(reread.ok);
    EXPECT_EQ(reread.value.maps[2].voxels, file.maps[2].voxels);
    auto json = nlohmann::json::parse(readWholeFile(dir.path("P_V.json")));
    EXPECT_EQ(json["maps"][2]["niftiFile"], "P_V_A_dLDI_IT_2.nii.gz");
    EXPECT_EQ(json["mapFile"], "P_V.ldi");
    struct stat info {};
    ASSERT_EQ(stat(dir.path("P_V.ldi").c_str(), &info), 0);
    EXPECT_NE(info.st_mode & S_IRGRP, 0u) << "saved files get the usual permissions, not 0600";

    // Saving again replaces the files.
    LdiFile second = file;
    second.maps[0].voxels[0] = 42.0f;
    ASSERT_TRUE(saveResultFiles(dir.path("P_V.ldi"), second, {}, problem)) << problem;
    EXPECT_EQ(decodeLdi(readWholeFile(dir.path("P_V.ldi"))).value.maps[0].voxels[0], 42.0f);
    EXPECT_EQ(folderContents(dir.root()).size(), 5u);
}

TEST(SaveResults, AFailureLeavesNothingBehind) {
    TestTempDir dir;
    const LdiFile file = sampleMapSet();
    std::string problem;
    const std::string missing = dir.path("no-such-folder") + "/P_V.ldi";
    EXPECT_FALSE(saveResultFiles(missing, file, {}, problem));
    EXPECT_NE(problem.find(missing), std::string::npos) << problem;
    EXPECT_NE(problem.find("No such file or directory"), std::string::npos) << problem;

    // The last name is taken by a folder: every file was written, but none
    // may stay under its final name and no temporary file may stay.
    std::filesystem::create_directory(dir.path("Q_V.ldi"));
    EXPECT_FALSE(saveResultFiles(dir.path("Q_V.ldi"), file, {}, problem));
    EXPECT_NE(problem.find("Q_V.ldi"), std::string::npos) << problem;
    EXPECT_EQ(folderContents(dir.root()), std::vector<std::string>{"Q_V.ldi"});

    if (geteuid() != 0) {
        const std::string locked = dir.path("locked");
        std::filesystem::create_directory(locked);
        chmod(locked.c_str(), 0555);
        EXPECT_FALSE(saveResultFiles(locked + "/P_V.ldi", file, {}, problem));
        EXPECT_NE(problem.find("Permission denied"), std::string::npos) << problem;
        EXPECT_TRUE(folderContents(locked).empty());
        chmod(locked.c_str(), 0755);
    }
}

namespace {

// The ".ldi" set as saved: voxels of map m, read back from its NIfTI file.
MapValues niftiVoxels(const std::string& path) {
    nifti_image* image = nifti_image_read(path.c_str(), 1);
    if (image == nullptr) return {};
    const float* data = static_cast<const float*>(image->data);
    MapValues voxels(data, data + image->nvox);
    nifti_image_free(image);
    return voxels;
}

// Saves over earlier results: a failing save puts every earlier file back, a
// smaller set removes the files only its earlier index listed, the run's
// other saves keep their names, and leftovers of dead processes go.
TEST(SaveResults, EarlierResultsSurviveFailuresAndStaleFilesGo) {
    TestTempDir dir;
    const LdiFile first = sampleMapSet();
    std::string problem;
    ASSERT_TRUE(saveResultFiles(dir.path("P_V.ldi"), first, {}, problem)) << problem;
    const std::vector<std::string> firstFiles = folderContents(dir.root());

    // The JSON's name is taken by a folder: the NIfTI files renamed before it
    // are put back as the first save left them.
    LdiFile second = first;
    for (LdiMap& map : second.maps) map.voxels[0] = 99.0f;
    std::filesystem::rename(dir.path("P_V.json"), dir.path("kept.json"));
    std::filesystem::create_directory(dir.path("P_V.json"));
    EXPECT_FALSE(saveResultFiles(dir.path("P_V.ldi"), second, {}, problem));
    EXPECT_NE(problem.find("P_V.json"), std::string::npos) << problem;
    EXPECT_EQ(niftiVoxels(dir.path("P_V_A_Ref2Vox.nii.gz")), first.maps[0].voxels);
    EXPECT_EQ(decodeLdi(readWholeFile(dir.path("P_V.ldi"))).value.maps[0].voxels, first.maps[0].voxels);
    std::filesystem::remove(dir.path("P_V.json"));
    std::filesystem::rename(dir.path("kept.json"), dir.path("P_V.json"));
    EXPECT_EQ(folderContents(dir.root()), firstFiles) << "nothing added, nothing lost";

    // A name too long for the file system is refused before anything is written.
    EXPECT_FALSE(saveResultFiles(dir.path(std::string(260, 'L') + ".ldi"), second, {}, problem));
    EXPECT_NE(problem.find("more than the 255 a file name may have"), std::string::npos) << problem;
    EXPECT_EQ(folderContents(dir.root()), firstFiles);

    // Leftovers of a process that is gone are removed, a running one's are not.
    const ProcessPlace here = currentProcessPlace();
    const std::string dead = dir.path(".ldi-save-" + processTag(999999999, here) + "-abcdef.nii.gz");
    const std::string deadLog = dir.path("P_V.log.partial-" + processTag(999999999, here) + "-0-0");
    writeWholeFile(deadLog, "x");
    const std::string alive = dir.path(".ldi-save-" + processTag(getppid(), here) + "-abcdef.nii.gz");
    writeWholeFile(dead, "x");
    writeWholeFile(alive, "x");
    writeWholeFile(dir.path("notes.txt"), "mine");
    // A smaller set: the third map's file goes, nothing else of the folder.
    LdiFile smaller = second;
    smaller.maps.pop_back();
    ASSERT_TRUE(saveResultFiles(dir.path("P_V.ldi"), smaller, {}, problem)) << problem;
    EXPECT_FALSE(std::filesystem::exists(dead));
    EXPECT_FALSE(std::filesystem::exists(deadLog)) << "a killed run's log on its way";
    EXPECT_TRUE(std::filesystem::exists(alive));
    std::filesystem::remove(alive);
    EXPECT_EQ(folderContents(dir.root()), (std::vector<std::string>{"P_V.json", "P_V.ldi", "P_V_A_Ref2Vox.nii.gz",
                                                                     "P_V_A_dLDI_IT.nii.gz", "notes.txt"}));
    EXPECT_EQ(niftiVoxels(dir.path("P_V_A_Ref2Vox.nii.gz"))[0], 99.0f);

    // Two saves of one run whose names would meet: VOI "a" with condition
    // "A_B" and VOI "a_A" with condition "B".
    std::set<std::string> namesInRun;
    SaveRecord record;
    record.namesInRun = &namesInRun;
    record.warnings = {"WARNING: something to know"};
    LdiFile a = sampleMapSet();
    a.maps.resize(1);
    a.maps[0].name = "A_B: Inst";
    LdiFile aA = a;
    aA.maps[0].name = "B: Inst";
    aA.maps[0].voxels.assign(6, 7.0f);
    ASSERT_TRUE(saveResultFiles(dir.path("P_a.ldi"), a, {}, problem, record)) << problem;
    ASSERT_TRUE(saveResultFiles(dir.path("P_a_A.ldi"), aA, {}, problem, record)) << problem;
    const auto aJson = nlohmann::json::parse(readWholeFile(dir.path("P_a.json")));
    const auto aAJson = nlohmann::json::parse(readWholeFile(dir.path("P_a_A.json")));
    EXPECT_EQ(aJson["maps"][0]["niftiFile"], "P_a_A_B_Inst.nii.gz");
    EXPECT_EQ(aAJson["maps"][0]["niftiFile"], "P_a_A_B_Inst_2.nii.gz");
    EXPECT_EQ(niftiVoxels(dir.path("P_a_A_B_Inst.nii.gz")), a.maps[0].voxels);
    EXPECT_EQ(aAJson["warnings"], nlohmann::json::array({"WARNING: something to know"}));
}

}  // namespace

namespace {

// A process stopped by SIGTERM in the middle of a save leaves none of its
// temporary files, and still ends by the signal.
TEST(TemporaryFiles, ASignalRemovesThemAndStillStopsTheProcess) {
    TestTempDir dir;
    const std::string temporary = dir.path(temporaryPrefix() + "child.nii.gz");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        removeTemporaryFilesOnSignals();
        writeWholeFile(temporary, "half written");
        registerTemporaryFile(temporary);
        raise(SIGTERM);
        _exit(0);  // not reached
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_FALSE(std::filesystem::exists(temporary));
}

}  // namespace
