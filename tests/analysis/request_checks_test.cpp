// The checks every front end's request passes before a file is read: one
// table of refused requests (each a sound request with one field spoiled),
// the UTF-8 test of names against a table of byte sequences, and the kinds of
// arrays a binding may hand over.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <sstream>
#include <string>

#include "analysis/parameters.h"
#include "analysis/request_checks.h"
#include "config/parameter_log.h"

using namespace ldi;

namespace {

// One run and one sphere seed: everything checkRequestValues looks at is sound.
AnalysisRequest soundRequest() {
    AnalysisRequest request;
    RunRequest run;
    run.path = "sub-01_task-x_bold.nii.gz";
    run.eventTable = std::vector<Event>{Event{0.0, 10.0, "left", 0}, Event{20.0, 0.0, "right", 0}};
    request.runs.push_back(run);
    SeedRequest seed;
    seed.name = "PCC";
    seed.shape = SeedRequest::Shape::sphere;
    seed.sphere = {0.0, -52.0, 26.0, 6.0};
    request.seeds.push_back(seed);
    request.conditions = {"left"};
    request.outputFolder = "out";
    return request;
}

// A run held in memory on a 2 x 2 x 2 grid of 5 volumes.
RunArray smallArray() {
    RunArray array;
    array.header.rank = 4;
    array.header.dim = {4, 2, 2, 2, 5, 1, 1, 1};
    array.header.pixdim = {1.0, 2.0, 2.0, 2.0, 2.0, 0, 0, 0};
    array.header.sformCode = 1;
    array.header.srow = {{{2, 0, 0, 0}, {0, 2, 0, 0}, {0, 0, 2, 0}}};
    return array;
}

}  // namespace

TEST(RequestChecks, RefuseEachSpoiledFieldWithWordsNamingIt) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* what;
        std::function<void(AnalysisRequest&)> spoil;
        const char* message;  // "" : the request is sound
    };
    const Case cases[] = {
        {"sound", [](AnalysisRequest&) {}, ""},
        {"no run", [](AnalysisRequest& r) { r.runs.clear(); }, "no run given"},
        {"no seed", [](AnalysisRequest& r) { r.seeds.clear(); }, "no seed given"},
        {"negative radius", [](AnalysisRequest& r) { r.seeds[0].sphere[3] = -1.0; },
         "seed 'PCC': the sphere's radius -1 is not a positive number of mm"},
        {"zero radius", [](AnalysisRequest& r) { r.seeds[0].sphere[3] = 0.0; }, "the sphere's radius 0"},
        {"NaN radius", [&](AnalysisRequest& r) { r.seeds[0].sphere[3] = nan; }, "the sphere's radius nan"},
        {"infinite centre", [&](AnalysisRequest& r) { r.seeds[0].sphere[1] = inf; },
         "seed 'PCC': the sphere's centre 0,inf,26 is not a finite point"},
        {"unnamed mask file", [](AnalysisRequest& r) { r.seeds[0].shape = SeedRequest::Shape::maskFile; },
         "seed 'PCC': its mask file is not named"},
        {"long seed name", [](AnalysisRequest& r) { r.seeds[0].name = std::string(5000, 's'); },
         "the seed name 'ssssssssssssssssssssssssssssssssssssssss...' is 5000 bytes long"},
        {"seed name of 100 bytes", [](AnalysisRequest& r) { r.seeds[0].name = std::string(100, 's'); }, ""},
        {"seed name not UTF-8", [](AnalysisRequest& r) { r.seeds[0].name = "PC\xff"; },
         "the seed name is not UTF-8 text (byte 0xFF at 3)"},
        {"seed name of punctuation", [](AnalysisRequest& r) { r.seeds[0].name = "../"; },
         "the seed name '../' has no letter or digit"},
        {"long condition", [](AnalysisRequest& r) { r.conditions = {std::string(101, 'c')}; },
         "the condition 'cccc"},
        {"negative duration", [](AnalysisRequest& r) { (*r.runs[0].eventTable)[1].duration = -2.0; },
         "the events of sub-01_task-x_bold.nii.gz, row 2: the duration -2 is not a number of seconds of at least 0"},
        {"NaN onset", [&](AnalysisRequest& r) { (*r.runs[0].eventTable)[0].onset = nan; },
         "row 1: the onset nan is not a finite number"},
        {"long trial type", [](AnalysisRequest& r) { (*r.runs[0].eventTable)[0].type = std::string(5000, 't'); },
         "row 1: the trial type 'tttt"},
        {"negative skip", [](AnalysisRequest& r) { r.skip = -1; }, "skip -1: not a number of volumes"},
        {"infinite shift", [&](AnalysisRequest& r) { r.shift = inf; }, "shift inf: not a finite number of seconds"},
        {"negative tr", [](AnalysisRequest& r) { r.tr = -2.0; }, "tr -2: not a positive number of seconds"},
        {"a run's NaN tr", [&](AnalysisRequest& r) { r.runs[0].tr = nan; },
         "sub-01_task-x_bold.nii.gz: the repetition time nan"},
        {"negative threads", [](AnalysisRequest& r) { r.threads = -1; }, "threads -1: give 1 to 4096 (0: every core)"},
        {"too many threads", [](AnalysisRequest& r) { r.threads = 5000; }, "threads 5000: give 1 to 4096"},
        {"every core", [](AnalysisRequest& r) { r.threads = 0; }, ""},
        {"negative rng seed", [](AnalysisRequest& r) { r.rngSeed = -3; }, "rng seed -3: give a seed of 0 or more"},
        {"array run", [](AnalysisRequest& r) { r.runs[0].array = smallArray(); }, ""},
        {"array run with a NaN affine", [&](AnalysisRequest& r) {
             r.runs[0].array = smallArray();
             r.runs[0].array->header.srow[1][3] = nan;
         },
         "sub-01_task-x_bold.nii.gz: the run's affine (voxel to world mm) holds a value that is not finite"},
        {"array run without volumes", [](AnalysisRequest& r) {
             r.runs[0].array = smallArray();
             r.runs[0].array->header.dim[4] = 0;
         },
         "the run's grid has 0 values along dimension 4"},
    };
    for (const Case& c : cases) {
        AnalysisRequest request = soundRequest();
        c.spoil(request);
        std::string problem;
        const bool sound = checkRequestValues(request, problem);
        if (std::string(c.message).empty()) {
            EXPECT_TRUE(sound) << c.what << ": " << problem;
        } else {
            EXPECT_FALSE(sound) << c.what;
            EXPECT_NE(problem.find(c.message), std::string::npos) << c.what << ": " << problem;
            // The library's words are the request's, never an option of one front end.
            EXPECT_EQ(problem.find("--"), std::string::npos) << c.what << ": " << problem;
        }
    }
}

TEST(RequestChecks, Utf8IsTakenExactlyAsTheStandardDefinesIt) {
    const struct {
        const char* bytes;
        bool valid;
    } cases[] = {
        {"", true},
        {"plain", true},
        {"caf\xc3\xa9", true},              // é
        {"\xe2\x82\xac", true},             // €
        {"\xf0\x9f\x98\x80", true},         // an emoji, four bytes
        {"\xf4\x8f\xbf\xbf", true},         // U+10FFFF, the last
        {"\xc3", false},                    // cut short
        {"\xe2\x82", false},                // cut short
        {"\xc0\xaf", false},                // overlong '/'
        {"\xe0\x80\xaf", false},            // overlong '/'
        {"\xed\xa0\x80", false},            // a surrogate
        {"\xf4\x90\x80\x80", false},        // beyond U+10FFFF
        {"\x80", false},                    // a continuation alone
        {"a\xffz", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isValidUtf8(c.bytes), c.valid) << c.bytes;
}

TEST(RequestChecks, ArraysOfNumbersAreTakenAndOthersRefusedByKind) {
    const struct {
        char kind;
        int64_t bytes, dimensions, wanted;
        const char* message;  // "" : taken
    } cases[] = {
        {'f', 4, 4, 4, ""},
        {'f', 8, 4, 4, ""},
        {'i', 2, 4, 4, ""},
        {'u', 1, 3, 3, ""},
        {'b', 1, 3, 3, ""},
        {'c', 8, 4, 4, "holds complex values"},
        {'f', 16, 4, 4, "floating-point values of 16 bytes"},
        {'O', 8, 4, 4, "values of kind 'O', not numbers"},
        {'U', 4, 4, 4, "not numbers"},
        {'f', 4, 3, 4, "a run is a 4D image of several volumes; this one has 3 dimensions"},
        {'f', 4, 4, 3, "a mask is a 3D image; this one has 4 dimensions"},
    };
    for (const auto& c : cases) {
        std::string problem;
        const bool taken = checkArrayKind("bold run 1", c.kind, c.bytes, c.dimensions, c.wanted, problem);
        EXPECT_EQ(taken, std::string(c.message).empty()) << c.kind << c.bytes << ": " << problem;
        EXPECT_NE(problem.find(c.message), std::string::npos) << problem;
    }
}

// A front end sets only what its user gave: what it leaves is ldi map's
// default, the same for every door.
TEST(RequestDefaults, AreThoseOfLdiMapWithoutOptions) {
    const AnalysisRequest request;
    GlobalParameters parameters;
    OrderChoice order;
    std::string problem;
    ASSERT_TRUE(readAnalysisParameters(ParameterOptions(), parameters, order, problem)) << problem;
    std::ostringstream given, fromOptions;
    writeParameterBlock(request.parameters, "x", given);
    writeParameterBlock(parameters, "x", fromOptions);
    EXPECT_EQ(given.str(), fromOptions.str());
    EXPECT_FALSE(request.order.automatic);
    EXPECT_TRUE(request.detectNonSteadyState);  // no skip given: the volumes before the steady state are found
    EXPECT_EQ(request.skip, 0);
    EXPECT_EQ(request.statistics.fdr, FdrMethod::permutation);
    EXPECT_EQ(request.statistics.dependence, "positive");
    EXPECT_EQ(request.statistics.nullDraws, 0);
    EXPECT_EQ(request.threads, 0);
}
