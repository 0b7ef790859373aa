// One run of the plug-in, from the user's command to the closing message
// (LDIPlugin::execute): the checks of the host's data, the settings, the set-up
// dialogs, the analysis and the closing message chosen from its status.

#include <exception>
#include <fstream>
#include <new>
#include <sstream>
#include <vector>

#include "base/host_api.h"
#include "base/log_pane.h"
#include "base/status.h"
#include "base/version.h"
#include "config/global_parameters.h"
#include "plugin/analysis_context.h"
#include "plugin/analysis_driver.h"
#include "plugin/ldi_plugin.h"
#include "setup/analysis_setup.h"
#include "setup/setup_dialogs.h"

namespace ldi {

namespace {

void logOpeningBanner() {
    hostApi.syLogText((std::string("\n") + logStarLine).c_str());
    hostApi.syLogText("//  L A G G E D   D E P E N D E N C Y   I M A G I N G                 ");
    hostApi.syLogText((std::string("//  <b>LDI</b> -  SYNA Plugin Version ") + pluginVersion).c_str());
    hostApi.syLogText("//  The LDI Help Pages (via 'Description of Plugins...')");
    hostApi.syLogText((std::string(logStarLine) + "\n").c_str());
}

void logSettingsDismissed() {
    logLine("WARNING: Dismissing .ini-file: it was invalid or could not be found");
    logLine("WARNING: Using default global parameters, see written .log files\n");
}

// Reads "LDIPlugin.ini" from the host's plug-ins folder into the set-up. A
// missing or rejected file leaves the defaults and only brings warnings.
void readSettings(AnalysisSetup& setup, std::ostringstream& errorStream) {
    char folder[SY_PLUGINS_PATH_CAPACITY] = {};
    hostApi.syGetPluginsPath(folder, SY_PLUGINS_PATH_CAPACITY);
    folder[SY_PLUGINS_PATH_CAPACITY - 1] = '\0';
    const std::string path = std::string(folder) + "/LDIPlugin.ini";
    std::ifstream settings;
    // Without a folder from the host the path would point at the file system's
    // root, which is not where the user keeps the plug-in's settings.
    if (folder[0] != '\0') settings.open(path);
    if (!settings.is_open()) {
        logLine("WARNING: Could not find or open " + path);
        logSettingsDismissed();
        return;
    }
    if (!readSettingsFile(settings, setup.parameters, errorStream)) {
        logLine("WARNING: " + errorStream.str());
        logSettingsDismissed();
    }
}

// What a run has done so far, so that an unexpected end (memory exhausted)
// can still close the run properly.
struct RunProgress {
    bool bannerWritten = false;
    bool busyCursorOn = false;
    bool driverCalled = false;
};

bool runOnce(LDIPlugin& plugin, RunProgress& progress) {
    int vmrDimX = 0;
    int vmrDimY = 0;
    int vmrDimZ = 0;
    if (hostApi.syGetCurrentVMR(&vmrDimX, &vmrDimY, &vmrDimZ) == nullptr) {
        hostApi.syMessageBox(
            "<b>No VMR</b><br>The LDI-plugin requires a VMR to operate. Make sure that a VMR is "
            "open and that its window is selected.");
        return false;
    }
    SyVtcHeader vtcHeader{};
    vtcHeader.linkState = -1;
    hostApi.syGetVTCOfCurrentVMR(&vtcHeader);
    if (vtcHeader.linkState == -1) {
        hostApi.syMessageBox(
            "<b>No VTC</b><br>The LDI-plugin requires a referenced VTC to correctly access "
            "VOI-definitions.\n Make sure that a VTC is linked.");
        return false;
    }
    SyVoiList voiList{};
    hostApi.syGetVOIs(&voiList);
    if (voiList.voiCount <= 0) {
        hostApi.syMessageBox(
            "<b>No VOI file</b><br>The LDI-plugin requires definitions of VOIs to operate.\n Make "
            "sure that an appropriate VOI-file is loaded (Shift+R after closing this message).");
        return false;
    }

    hostApi.syShowLogTab();
    logOpeningBanner();
    progress.bannerWritten = true;

    std::ostringstream errorStream;
    AnalysisSetup setup;
    readSettings(setup, errorStream);

    logLine("Running. Waiting for user selections...\n");
    const int setupStatus = runAnalysisSetup(plugin.echoSelections, setup, voiList);
    if (plugin.echoSelections) logLine("");
    if (setupStatus != statusSuccess) {
        if (setupStatus == statusCancelled) logLine("Canceled by user.");
        if (setupStatus == statusTerminalError) logLine("Terminal error, sorry. Exiting...");
        logEndBanner();
        return false;
    }

    hostApi.syShowBusyCursor();
    progress.busyCursorOn = true;
    logLine("Computing...");
    int driverStatus = statusTerminalError;
    {
        AnalysisContext context;
        progress.driverCalled = true;
        driverStatus = runAnalysis(context, setup, errorStream);
        releaseAnalysisContext(context);
    }
    switch (driverStatus) {
    case statusSuccess:
        hostApi.syStopBusyCursor();
        progress.busyCursorOn = false;
        logLine("\nDone, all computations succesful");
        break;
    case statusInvalidChoices:
        logLine("");
        logLine(errorStream.str());
        logLine(
            "An invalid input parameter-set caused computation to terminate.\nTry again with a "
            "different parameter-set. Exiting...");
        break;
    case statusTerminalError:
        logLine("");
        logLine(errorStream.str());
        logLine("Terminal error, sorry. Exiting...");
        break;
    default:
        break;
    }
    if (progress.busyCursorOn) {
        hostApi.syStopBusyCursor();
        progress.busyCursorOn = false;
    }
    logEndBanner();
    return driverStatus == statusSuccess;
}

// Closes a run that ended by an exception (memory exhausted) the way a
// terminal failure is closed, as far as the host lets us.
void closeAfterException(const RunProgress& progress, const char* what) noexcept {
    try {
        if (progress.driverCalled) hostApi.syDeleteNRVMPsOfCurrentVMR();
        if (progress.bannerWritten) {
            logLine(std::string("ERROR: The run stopped because memory ran out (") + what +
                    "). Close other data or select fewer VOIs or conditions, then try again.");
            logLine("Terminal error, sorry. Exiting...");
        }
        if (progress.busyCursorOn) hostApi.syStopBusyCursor();
        if (progress.bannerWritten) logEndBanner();
    } catch (...) {
    }
}

}  // namespace

bool LDIPlugin::execute() {
    RunProgress progress;
    try {
        return runOnce(*this, progress);
    } catch (const std::exception& error) {
        closeAfterException(progress, error.what());
    } catch (...) {
        closeAfterException(progress, "unknown failure");
    }
    return false;
}

}  // namespace ldi
