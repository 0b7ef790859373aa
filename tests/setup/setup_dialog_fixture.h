// Shared fixture of the set-up dialog tests: a clean fake host, a plug-in
// object with echoing on, a fresh set-up record and a temporary folder for
// VTC files.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/host_api.h"
#include "support/whole_run.h"
#include "setup/analysis_setup.h"
#include "setup/setup_dialogs.h"
#include "support/fake_host.h"
#include "support/vtc_writer.h"

namespace ldi {

// Some dialogs can only be left by a valid choice (a condition needs a VTC),
// so a script that runs dry would repeat them forever. The tripwire stops the
// test program instead of letting it hang.
namespace setup_test_detail {

inline int& unscriptedDialogs() {
    static int count = 0;
    return count;
}

inline HostApi& fakeTable() {
    static HostApi table{};
    return table;
}

inline void countUnscripted() {
    if (fakeHost().script.empty() && ++unscriptedDialogs() > 20) {
        std::fprintf(stderr, "dialog script ran dry inside a repeating dialog; stopping\n");
        std::abort();
    }
}

inline int guardedIntegerInput(const char* prompt, int value, int min, int max) {
    countUnscripted();
    return fakeTable().syGetIntegerInput(prompt, value, min, max);
}

inline int guardedOpenFileName(const char* title, const char* initial,
                                          const char* filter, char* buffer, int capacity) {
    countUnscripted();
    return fakeTable().syGetOpenFileName(title, initial, filter, buffer, capacity);
}

inline int guardedTextInput(const char* prompt, const char* initial, char* buffer,
                                       int capacity) {
    countUnscripted();
    return fakeTable().syGetTextInput(prompt, initial, buffer, capacity);
}

}  // namespace setup_test_detail

class SetupDialogTest : public FakeHostTest {
protected:
    void SetUp() override {
        FakeHostTest::SetUp();
        using namespace setup_test_detail;
        unscriptedDialogs() = 0;
        fakeTable() = hostApi;
        hostApi.syGetIntegerInput = guardedIntegerInput;
        hostApi.syGetOpenFileName = guardedOpenFileName;
        hostApi.syGetTextInput = guardedTextInput;
    }

    // The VOI list record as execute obtains it.
    SyVoiList voiList() const {
        SyVoiList list{};
        list.voiCount = static_cast<int32_t>(fakeHost().vois.size());
        list.coordsConvention = fakeHost().coordsConvention;
        return list;
    }

    // Writes a VTC into the temporary folder and returns its path.
    std::string writeVtc(const std::string& name, const VtcWriterOptions& options = {}) {
        const std::string path = dir.path(name);
        EXPECT_TRUE(writeTestVtc(path, options)) << path;
        return path;
    }

    // Log texts as the host received them.
    const std::vector<std::string>& logged() { return host().logTexts; }

    // Texts of every call of a host function, first text argument, in order.
    std::vector<std::string> prompts(const std::string& function) {
        std::vector<std::string> texts;
        for (const FakeCall& call : host().calls)
            if (call.function == function && !call.texts.empty()) texts.push_back(call.texts[0]);
        return texts;
    }

    LDIPlugin plugin;
    AnalysisSetup setup;
    TestTempDir dir;
};

// The exact message-box texts the dialogs show.
namespace setup_messages {
inline const std::string invalid = "<b>Invalid selection</b><br>";
inline const std::string voiAlreadySelected =
    invalid + "You have already selected that VOI. Try again after closing this messagebox.";
inline const std::string noVoiSelected =
    invalid + "You have select at least one VOI. Try again after closing this dialog";
inline const std::string noCondition =
    invalid + "You have select at least one Condition. Try again after closing this dialog";
inline const std::string conditionExists =
    invalid +
    "You have already selected that condition-name. Try again after closing this messagebox.";
inline const std::string noVtc = invalid +
                                 "You have select at least one VTC and an interval within that "
                                 "VTC. Try again after closing this dialog";
inline const std::string vtcExists = invalid +
                                     "You have already selected that VTC for this condition. Try "
                                     "again after closing this messagebox.";
inline const std::string vtcUnusable =
    invalid +
    "Either could not open vtc or the selected vtc is not of the same dimensions as previously "
    "selected ones. Resolution (3mm, 2mm, or 1mm) and reference space (un-transformed, ACPC, or "
    "TAL) must be the same for all VTCs.";
inline const std::string noPair = invalid +
                                  "You have select at least one VTC-Pair (source and target) and "
                                  "an interval within those VTCs. Try again after closing this "
                                  "dialog";
inline const std::string pairExists = invalid +
                                      "You have already selected that source-target VTC-pair for "
                                      "this condition. Try again after closing this messagebox.";
inline const std::string pairUnusable =
    invalid +
    "Either could not open (one of) the (source or target) vtcs or (one of) the selected vtc is "
    "not of the same dimensions as previously selected ones. Resolution (3mm, 2mm, or 1mm) and "
    "reference space (un-transformed, ACPC, or TAL) must be the same for all VTCs.";
}  // namespace setup_messages

}  // namespace ldi
