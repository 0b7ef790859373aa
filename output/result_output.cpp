#include "output/result_output.h"

#include <cstdint>
#include <cstdio>
#include <ostream>
#include <sstream>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "config/global_parameters.h"
#include "base/host_api.h"
#include "base/version.h"
#include "base/log_pane.h"
#include "base/status.h"
#include "setup/analysis_setup.h"

bool writeParameterLog(const AnalysisSetup& setup, std::ostream& runLog) {
    const GlobalParameters& p = setup.parameters;
    // Formed in a fresh stream so that the numbers always come out in the
    // default format, whatever state the caller's stream is in.
    std::ostringstream block;
    block << "Created by LDI-plugin version " << pluginVersion << '\n'
          << '\n'
          << "Global parameter values " << '\n'
          << "------------------------" << '\n'
          << "MapTypesComputed= ";
    for (MapType type : p.mapTypesComputed) block << mapTypeName(type) << ' ';
    block << '\n' << "DLDI_ITInstLowerThres= " << p.dldiITInstLowerThres << '\n' << "QThresholdsForFDR= ";
    for (float q : p.qThresholdsForFDR) block << q << ' ';
    block << '\n'
          << "CVConstantForFDR= " << p.cvConstantForFDR << '\n'
          << "ShowVerboseProgressLog= " << (p.showVerboseProgressLog ? 1 : 0) << '\n'
          << "MapScaleFactor= " << p.mapScaleFactor << '\n'
          << "AutoRegressionOrder= " << p.autoRegressionOrder << '\n'
          << "FirstTimePointInclusionThres= " << p.firstTimePointInclusionThres << '\n'
          << "NumSurrogateSimulations= " << p.numSurrogateSimulations << '\n'
          << "NumDiscardedSimulatedTimePoints= " << p.numDiscardedSimulatedTimePoints << '\n'
          << '\n';
    runLog << block.str();
    return true;
}

long long mapSetSize(const AnalysisSetup& setup) {
    return static_cast<long long>(setup.conditions.size()) *
           static_cast<long long>(setup.parameters.mapTypesComputed.size());
}

int createMapSet(const SelectedVoi& /*voi*/, const AnalysisSetup& setup,
                 std::ostream& errorStream) {
    // Whatever the VMR held before (the previous VOI's maps included) goes first.
    hostApi.syDeleteNRVMPsOfCurrentVMR();

    const std::vector<float>& qValues = setup.parameters.qThresholdsForFDR;
    SyMapSetHeader header{};
    header.levelCount = static_cast<int32_t>(qValues.size());
    header.xStart = setup.xStart;
    header.xEnd = setup.xEnd;
    header.yStart = setup.yStart;
    header.yEnd = setup.yEnd;
    header.zStart = setup.zStart;
    header.zEnd = setup.zEnd;
    header.resolution = setup.resolution;

    const long long mapCount = mapSetSize(setup);
    if (mapCount <= 0 || mapCount > INT32_MAX) {
        errorStream << "An invalid number of maps have to be computed: " << mapCount
                    << "Number of conditions, and/or number of map types were possibly invalid";
        return statusInvalidChoices;
    }
    if (hostApi.syCreateNRVMPsForCurrentVMR(static_cast<int>(mapCount), 0, header.levelCount, &header) == 0) {
        errorStream << "Could not create an CMP map-structure to write LDI results";
        return statusTerminalError;
    }
    if (hostApi.syGetNRVMPsOfCurrentVMR(&header) == nullptr ||
        (header.levelCount > 0 && header.levelLabels == nullptr)) {
        errorStream << "Could not get access to created CMP map-structure for write LDI results";
        return statusTerminalError;
    }
    // Map assembly writes dimX * dimY * dimZ values of the set-up's grid into
    // every map buffer; a host buffer of another size must never receive them.
    if (header.dimX != setup.dimX || header.dimY != setup.dimY || header.dimZ != setup.dimZ) {
        errorStream << "The CMP map-structure created for the LDI results has a grid of " << header.dimX << " x "
                    << header.dimY << " x " << header.dimZ << " voxels, but the VTC files have " << setup.dimX
                    << " x " << setup.dimY << " x " << setup.dimZ
                    << " voxels; the results cannot be written into it";
        return statusTerminalError;
    }
    for (std::size_t i = 0; i < qValues.size(); ++i) {
        std::snprintf(header.levelLabels[i].text, SY_LEVEL_LABEL_CAPACITY, "thres q=%1.3f",
                      static_cast<double>(qValues[i]));
    }
    return statusSuccess;
}

std::string resultBaseName(const AnalysisSetup& setup, const SelectedVoi& voi) {
    std::string base = setup.outputPrefix + "_" + voi.name;
    for (const SelectedVoi& other : setup.vois) {
        if (other.hostIndex == voi.hostIndex) break;  // only earlier VOIs take precedence
        if (other.name == voi.name) {
            base += "_" + std::to_string(static_cast<long long>(voi.hostIndex) + 1);
            break;
        }
    }
    return base;
}

namespace {

// Writes the whole text and one NUL character; true only when every byte
// reached the file and it was closed cleanly.
bool writeLogFile(const std::string& path, const std::string& text) {
    // Binary: the text is written byte for byte, with no line-end translation.
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    ok = ok && std::fputc('\0', file) != EOF;
    ok = ok && std::fflush(file) == 0;
    ok = (std::fclose(file) == 0) && ok;
    return ok;
}

// Gives the finished file its name, replacing a log of an earlier run in one
// step: should that fail, the earlier log stays as it was.
bool replaceFile(const std::string& from, const std::string& to) {
#if defined(_WIN32)
    // rename refuses an existing target there; removing it first would lose
    // the earlier log whenever the rename then failed.
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

}  // namespace

int saveResults(const SelectedVoi& voi, const AnalysisSetup& setup,
                const std::ostringstream& runLog, std::ostream& errorStream) {
    const std::string base = resultBaseName(setup, voi);
    const std::string mapFile = base + ".ldi";
    if (hostApi.sySaveNRVMPsOfCurrentVMR(mapFile.c_str()) == 0) {
        errorStream << "Could not save the maps of VOI '" << voi.name << "' to the file: " << mapFile
                    << "\nCheck that the folder exists, that it is writable and that the disk is not full.";
        return statusTerminalError;
    }
    hostApi.syLogText(formatText("%s\n%s Written data: %s", progressPrefix, progressPrefix, mapFile.c_str()).c_str());

    const std::string logFile = base + ".log";
    const std::string partialFile = logFile + ".partial";
    bool written = writeLogFile(partialFile, runLog.str());
    written = written && replaceFile(partialFile, logFile);
    if (!written) {
        std::remove(partialFile.c_str());
        errorStream << "Could not write the log file: " << logFile
                    << "\nCheck that the folder exists, that it is writable and that the disk is not full.";
        return statusTerminalError;
    }
    hostApi.syLogText(formatText("%s Written  log: %s", progressPrefix, logFile.c_str()).c_str());
    return statusSuccess;
}
