#include "formats/temporary_files.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "base/process.h"

namespace ldi {

namespace {

constexpr const char* kStem = ".ldi-save-";
constexpr const char* kLogStem = ".log.partial-";
constexpr int kSlots = 1024;
constexpr std::size_t kPathBytes = 4096;

// Read by the signal handler: plain buffers and lock-free flags only. A slot
// is taken (1) before its path is written and ready (2) after, so that the
// handler never reads a path half written; saves register from several threads.
char registeredPaths[kSlots][kPathBytes];
std::atomic<int> slotState[kSlots];

extern "C" void removeRegisteredAndStop(int signalNumber) {
    for (int slot = 0; slot < kSlots; ++slot)
        if (slotState[slot].load() == 2) std::remove(registeredPaths[slot]);
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

bool processRuns(long pid) {
    if (pid <= 0) return false;
#if defined(_WIN32)
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
#else
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
#endif
}

}  // namespace

std::string temporaryPrefix() { return std::string(kStem) + std::to_string(currentProcessId()) + "-"; }

int registerTemporaryFile(const std::string& path) {
    if (path.size() >= kPathBytes) return -1;
    for (int slot = 0; slot < kSlots; ++slot) {
        int free = 0;
        if (!slotState[slot].compare_exchange_strong(free, 1)) continue;
        std::memcpy(registeredPaths[slot], path.c_str(), path.size() + 1);
        slotState[slot].store(2);
        return slot;
    }
    return -1;
}

void unregisterTemporaryFile(int slot) {
    if (slot >= 0 && slot < kSlots) slotState[slot].store(0);
}

void removeTemporaryFilesOnSignals() {
#if defined(_WIN32)
    for (int signalNumber : {SIGINT, SIGTERM}) std::signal(signalNumber, removeRegisteredAndStop);
#else
    struct sigaction action {};
    action.sa_handler = removeRegisteredAndStop;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous {};
        // A signal the caller chose to ignore stays ignored.
        if (::sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        ::sigaction(signalNumber, &action, nullptr);
    }
#endif
}

void removeStaleTemporaryFiles(const std::string& folder) {
    namespace fs = std::filesystem;
    std::error_code error;
    const std::size_t stemLength = std::strlen(kStem);
    const auto now = fs::file_time_type::clock::now();
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        // The save's own temporaries, and the plug-in's log on its way (NAME.log.partial-PID-...).
        std::size_t idAt = 0;
        bool ours = false;  // a name only ldi gives; without a process id it is an older version's
        if (name.compare(0, stemLength, kStem) == 0) {
            idAt = stemLength;
            ours = true;
        } else {
            const std::size_t log = name.find(kLogStem);
            if (log == std::string::npos) continue;
            idAt = log + std::strlen(kLogStem);
        }
        char* after = nullptr;
        const long pid = std::strtol(name.c_str() + idAt, &after, 10);
        bool stale = false;
        if (after != name.c_str() + idAt && *after == '-') {
            stale = !processRuns(pid);
        } else if (ours) {
            std::error_code timeError;
            const auto written = fs::last_write_time(entry->path(), timeError);
            stale = !timeError && now - written > std::chrono::hours(24);
        }
        if (stale) fs::remove(entry->path(), error);
        error.clear();
    }
}

}  // namespace ldi
