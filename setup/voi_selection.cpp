// The first dialog of the set-up: the reference VOIs from the host's list.

#include "base/log_pane.h"
#include "base/status.h"
#include "setup/dialog_text.h"
#include "setup/setup_dialogs.h"

namespace ldi {

namespace {

const char* const voiMenuIntroduction =
    "<b>Welcome to the LDI-Plugin</b><br><br><b>Select VOIs</b><br>Each LDI is computed with "
    "respect to a selectable reference region (VOI). You can select multiple VOIs to compute "
    "multiple LDIs in one run of the LDI-plugin.<br><br><b>Add a VOI as a reference "
    "region:</b><br>0. <i>Stop selecting</i><br>";

// Asks the host for the VOI at `index` and appends it; returns its name.
std::string appendHostVoi(AnalysisSetup& setup, int32_t index, int32_t coordsConvention) {
    SyVoi record{};
    const int32_t* voxels = hostApi.syGetVOI(index, &record);
    SelectedVoi voi;
    voi.name = hostText(record.name);
    voi.hostIndex = index;
    voi.voxelCount = record.voxelCount;
    voi.voxels = voxels;  // host memory, borrowed
    voi.coordsConvention = coordsConvention;
    setup.vois.push_back(voi);
    return setup.vois.back().name;
}

}  // namespace

int selectVois(bool echoSelections, AnalysisSetup& setup, const SyVoiList& voiList) {
    const int32_t voiCount = voiList.voiCount;
    const int32_t addAllChoice = voiCount + 1;

    // Composed whole before the first question and never changed: chosen VOIs
    // stay listed and the duplicate test refuses them. Grown as needed, so
    // every VOI keeps its number however long the list or the names.
    std::string menu = voiMenuIntroduction;
    for (int32_t i = 0; i < voiCount; ++i) {
        SyVoi record{};
        hostApi.syGetVOI(i, &record);
        menu += menuLine(i + 1, hostText(record.name));
    }
    menu += std::to_string(addAllChoice) + ". <i>Add all</i>";

    if (echoSelections) logLine("Selected VOI's:\n");

    for (;;) {
        const int choice = hostApi.syGetIntegerInput(menu.c_str(), 1, 0, addAllChoice);
        if (choice < 0) return statusCancelled;

        if (choice == 0) {
            if (!setup.vois.empty()) return statusSuccess;
            hostApi.syMessageBox(invalidSelection("You have select at least one VOI. Try again "
                                                  "after closing this dialog")
                                     .c_str());
            continue;
        }

        if (choice == addAllChoice) {
            // Earlier single choices are dropped so that every VOI occurs once,
            // in list order.
            setup.vois.clear();
            for (int32_t i = 0; i < voiCount; ++i) appendHostVoi(setup, i, voiList.coordsConvention);
            if (echoSelections) logLine("Added <b>ALL</b> (other) VOI's in current VOI-list");
            return statusSuccess;
        }

        if (choice > addAllChoice) continue;  // outside the range the host was given

        const int32_t index = choice - 1;
        if (isVoiSelected(setup, index)) {
            hostApi.syMessageBox(invalidSelection("You have already selected that VOI. Try again "
                                                  "after closing this messagebox.")
                                     .c_str());
            continue;
        }
        const std::string name = appendHostVoi(setup, index, voiList.coordsConvention);
        if (echoSelections) logLine("<b>" + name + "</b>");
    }
}

}  // namespace ldi
