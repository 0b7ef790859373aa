// A fake host for the tests: the 24 host functions, backed by one global
// FakeHost object whose state a test configures and whose records it checks.
//
// Use:
//   class MyTest : public FakeHostTest {};       // resets the host before each test
//   TEST_F(MyTest, Something) {
//       host().addVoi("V1", {{10, 20, 30}});      // configure what the host holds
//       host().answerInteger(1);                  // script the dialog answers, in order
//       host().answerText("A");
//       host().answerCancel();
//       ... run the code under test ...
//       EXPECT_EQ(host().logTexts.size(), 3u);    // check what the plug-in did
//   }
//
// - reset() puts everything back to the defaults below and installs the fake
//   into hostApi with installHostApi; it also makes initPlugin attach to the
//   fake (setHostAttachFunction). Call install() again after changing
//   `missingFunctions` to leave chosen functions to their refusing stand-ins.
// - Every call is recorded in `calls`, in order, with its texts and its
//   integer arguments. Texts handed to syLogText are also kept in `logTexts`,
//   texts of syMessageBox in `messageBoxes`.
// - Dialogs (syGetIntegerInput, syGetTextInput, syGetOpenFileName,
//   syGetSaveFileName) take the next answer of the script. A cancel answer
//   makes the dialog report cancel. When the script is empty, or the next
//   answer is of the wrong kind, the dialog cancels and a line is added to
//   `notes`, so a test can check `notes.empty()` to see that its script fitted.
// - Defaults: a VMR is present (256 x 256 x 256), a VTC is linked (TR 2000,
//   300 volumes, resolution 3, box 57..231 x 52..172 x 59..197, no paths),
//   no VOIs, no protocols, version 2.1.0, plug-ins path
//   "/nonexistent/ldi-fake-host-plugins", no maps, nothing fails.
// - The host's memory (VOI voxels, protocol intervals, map buffers, level
//   labels, FDR arrays) is owned by the FakeHost, and stays valid until the
//   next call that changes the same object, as with the real host.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/host_api.h"

namespace ldi {

struct FakeCall {
    std::string function;            // e.g. "syLogText"
    std::vector<std::string> texts;  // the text arguments, in argument order
    std::vector<long long> numbers;  // the integer arguments, in argument order
    std::thread::id thread;          // the thread that called
};

struct DialogAnswer {
    enum Kind { integer, text, cancel };
    Kind kind = cancel;
    int value = 0;     // for integer inputs
    std::string path;  // for text inputs and file dialogs
};

struct FakeVoi {
    std::string name;
    std::vector<int32_t> coordinates;  // x, y, z triples
};

struct FakeProtocolCondition {
    std::string name;
    std::vector<int32_t> starts;
    std::vector<int32_t> ends;
};

struct FakeProtocol {
    int32_t timeResolution = 1;  // 1 = volumes, 2 = milliseconds
    std::vector<FakeProtocolCondition> conditions;
};

// One map of the map set in memory.
struct FakeMap {
    SyMapHeader header{};  // as last set by sySetNRVMPParametersOfCurrentVMR
    std::vector<float> voxels;
    std::vector<float> fdrThresholds;
};

// What a save wrote: the file name and a copy of the map set at that moment.
struct FakeSavedMapSet {
    std::string fileName;
    std::vector<std::string> levelLabels;
    std::vector<FakeMap> maps;  // copies; header.fdrThresholds is null, see fdrThresholds
};

class FakeHost {
public:
    // Back to the defaults, records emptied, installed into hostApi.
    void reset();
    // Installs the fake into hostApi, leaving out `missingFunctions`.
    // Returns what installHostApi returned.
    bool install();

    // --- Configuration ---
    std::set<std::string> missingFunctions;  // e.g. {"syGetVersionOfSynapsa"}
    int versionMajor = 2;
    int versionMinor = 1;
    int versionPatch = 0;
    std::string pluginsPath;
    bool vmrPresent = true;
    int vmrDims[3] = {256, 256, 256};
    SyVtcHeader linkedVtc{};  // linkState -1 means no VTC is linked
    int32_t coordsConvention = 0;
    std::vector<FakeVoi> vois;
    std::map<std::string, FakeProtocol> protocols;  // keyed by protocol path
    bool failCreateMapSet = false;
    bool failGetMapSet = false;
    std::set<int> failGetMapIndices;  // syGetNRVMPOfCurrentVMR answers null for these
    bool failGetEveryMap = false;
    bool failSave = false;
    // Called after every save that succeeded, with the saved file's name.
    std::function<void(const std::string&)> afterSave;
    // The next call of this host function throws std::bad_alloc (once), as a
    // run that exhausts memory inside it would.
    std::string throwOutOfMemoryIn;

    void addVoi(const std::string& name, const std::vector<std::vector<int32_t>>& voxels);
    void setLinkedVtc(bool linked);

    // --- Dialog script ---
    std::deque<DialogAnswer> script;
    void answerInteger(int value);
    void answerText(const std::string& text);  // text inputs and file dialogs
    void answerCancel();

    // --- Records ---
    std::vector<FakeCall> calls;
    std::vector<std::string> logTexts;
    std::vector<std::string> messageBoxes;
    std::vector<std::string> notes;  // script problems and out-of-contract calls
    bool busyCursorOn = false;
    std::vector<FakeSavedMapSet> saves;

    // The map set in memory; `mapSetExists` false after a delete.
    bool mapSetExists = false;
    SyMapSetHeader mapSetHeader{};  // as given to syCreateNRVMPsForCurrentVMR, then filled
    std::vector<SyLevelLabel> levelLabels;
    std::vector<FakeMap> maps;

    // --- Queries ---
    int callCount(const std::string& function) const;
    std::vector<std::string> callNames() const;
    const FakeCall* lastCall(const std::string& function) const;  // null when never called
    // All log texts joined with "\n", as the log pane would show them.
    std::string logPane() const;

    // --- Used by the host functions ---
    void record(const std::string& function, std::vector<std::string> texts = {},
                std::vector<long long> numbers = {});
    // Takes the next answer; false (and a note) when there is none or it is
    // of another kind than `expected`. A cancel answer also returns false.
    bool takeAnswer(DialogAnswer::Kind expected, const std::string& dialog, DialogAnswer& answer);
};

// The one fake host of the test program.
FakeHost& fakeHost();

// Base for tests that talk to the host: every test starts with a clean fake.
class FakeHostTest : public ::testing::Test {
protected:
    void SetUp() override { fakeHost().reset(); }
    FakeHost& host() { return fakeHost(); }
};

}  // namespace ldi
