#include "output/result_output.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <sstream>
#include <set>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "base/host_api.h"
#include "base/log_pane.h"
#include "base/process.h"
#include "base/status.h"
#include "base/text.h"
#include "base/version.h"
#include "config/global_parameters.h"
#include "config/parameter_log.h"
#include "setup/analysis_setup.h"

namespace ldi {

bool writeParameterLog(const AnalysisSetup& setup, std::ostream& runLog) {
    const std::string creator = std::string("LDI-plugin version ") + pluginVersion;
    writeParameterBlock(setup.parameters, creator.c_str(), runLog);
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

std::vector<std::string> resultBaseNames(const AnalysisSetup& setup) {
    std::vector<std::string> names;
    std::set<std::string> taken;
    for (const SelectedVoi& voi : setup.vois) {
        const std::string stem =
            setup.outputPrefix + "_" + utf8Prefix(safeFileNamePart(voi.name), MAX_VOI_NAME_BYTES_IN_FILE_NAMES);
        std::string name = stem;
        // A name an earlier VOI has already taken gets the VOI's menu number,
        // and should that be taken too, a count.
        if (taken.count(foldAsciiCase(name)) > 0) name = stem + "_" + std::to_string(voi.hostIndex + 1LL);
        for (int extra = 2; taken.count(foldAsciiCase(name)) > 0; ++extra)
            name = stem + "_" + std::to_string(voi.hostIndex + 1LL) + "_" + std::to_string(extra);
        taken.insert(foldAsciiCase(name));
        names.push_back(name);
    }
    return names;
}

std::string resultBaseName(const AnalysisSetup& setup, const SelectedVoi& voi) {
    const std::vector<std::string> names = resultBaseNames(setup);
    for (std::size_t i = 0; i < setup.vois.size(); ++i)
        if (setup.vois[i].hostIndex == voi.hostIndex) return names[i];
    return setup.outputPrefix + "_" + utf8Prefix(safeFileNamePart(voi.name), MAX_VOI_NAME_BYTES_IN_FILE_NAMES);
}

int checkResultNames(const AnalysisSetup& setup, std::ostream& errorStream) {
    for (const std::string& base : resultBaseNames(setup)) {
        const std::size_t slash = base.find_last_of("/\\");
        const std::size_t nameBytes = base.size() - (slash == std::string::npos ? 0 : slash + 1);
        if (nameBytes + LONGEST_RESULT_SUFFIX > MAX_FILE_NAME_BYTES) {
            errorStream << "The result file names would be too long for the file system: " << base
                        << ".ldi\nChoose a shorter output prefix (file names may have at most " << MAX_FILE_NAME_BYTES
                        << " bytes).";
            return statusInvalidChoices;
        }
    }
    return statusSuccess;
}

namespace {

// A name for the log's temporary file that no other run picks at the same
// time. It carries the process and its place (processTag), so that the host can
// tell the leftover of a run that was killed from the file of one that still
// writes, here or on another node.
std::string temporaryLogName(const std::string& logFile, unsigned attempt) {
    static std::atomic<unsigned> counter{0};
    return formatText("%s.partial-%s-%u-%u", logFile.c_str(), currentProcessTag().c_str(), counter.fetch_add(1),
                      attempt);
}

// Creates a new file at `path`; fails when anything (a file, a link planted
// there) already has that name, so an existing file is never written through.
std::FILE* createNewFile(const std::string& path) {
#if defined(_WIN32)
    // Binary: the text is written byte for byte, with no line-end translation.
    const int handle = ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (handle < 0) return nullptr;
    std::FILE* file = ::_fdopen(handle, "wb");
    if (file == nullptr) ::_close(handle);
#else
    const int handle = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (handle < 0) return nullptr;
    std::FILE* file = ::fdopen(handle, "wb");
    if (file == nullptr) ::close(handle);
#endif
    return file;
}

// Writes the whole text and one NUL character into a new temporary file
// beside `logFile`; true, with its path in `partialPath`, only when every byte
// reached the file and it was closed cleanly. A failed attempt leaves no file.
bool writeLogFile(const std::string& logFile, const std::string& text, std::string& partialPath) {
    std::FILE* file = nullptr;
    for (unsigned attempt = 0; attempt < 100 && file == nullptr; ++attempt) {
        partialPath = temporaryLogName(logFile, attempt);
        file = createNewFile(partialPath);
        if (file == nullptr && errno != EEXIST) break;
    }
    if (file == nullptr) return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    ok = ok && std::fputc('\0', file) != EOF;
    ok = ok && std::fflush(file) == 0;
    ok = (std::fclose(file) == 0) && ok;
    if (!ok) std::remove(partialPath.c_str());
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

void explainLogFailure(std::ostream& errorStream, const std::string& logFile) {
    errorStream << "Could not write the log file: " << logFile
                << "\nCheck that the folder exists, that it is writable and that the disk is not full.";
}

}  // namespace

int saveResults(const SelectedVoi& voi, const AnalysisSetup& setup,
                const std::ostringstream& runLog, std::ostream& errorStream) {
    const std::string base = resultBaseName(setup, voi);
    const std::string mapFile = base + ".ldi";
    const std::string logFile = base + ".log";
    // The log goes to the disk first: when it cannot be written, the VOI
    // leaves no file at all rather than maps without their log.
    std::string partialFile;
    if (!writeLogFile(logFile, runLog.str(), partialFile)) {
        explainLogFailure(errorStream, logFile);
        return statusTerminalError;
    }
    if (hostApi.sySaveNRVMPsOfCurrentVMR(mapFile.c_str()) == 0) {
        std::remove(partialFile.c_str());
        errorStream << "Could not save the maps of VOI '" << voi.name << "' to the file: " << mapFile
                    << "\nCheck that the folder exists, that it is writable and that the disk is not full.";
        return statusTerminalError;
    }
    hostApi.syLogText(formatText("%s\n%s Written data: %s", progressPrefix, progressPrefix, mapFile.c_str()).c_str());

    if (!replaceFile(partialFile, logFile)) {
        std::remove(partialFile.c_str());
        explainLogFailure(errorStream, logFile);
        return statusTerminalError;
    }
    hostApi.syLogText(formatText("%s Written  log: %s", progressPrefix, logFile.c_str()).c_str());
    return statusSuccess;
}

}  // namespace ldi
