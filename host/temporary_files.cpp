#include "host/temporary_files.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace ldi_host {

namespace {

constexpr const char* kStem = ".ldi-save-";
constexpr int kSlots = 1024;
constexpr std::size_t kPathBytes = 4096;

// Read by the signal handler: plain buffers and lock-free flags only.
char registeredPaths[kSlots][kPathBytes];
std::atomic<bool> slotInUse[kSlots];

void removeRegisteredAndStop(int signalNumber) {
    for (int slot = 0; slot < kSlots; ++slot)
        if (slotInUse[slot].load()) ::unlink(registeredPaths[slot]);
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

bool processRuns(long pid) {
    if (pid <= 0) return false;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

}  // namespace

std::string temporaryPrefix() { return std::string(kStem) + std::to_string(static_cast<long>(::getpid())) + "-"; }

int registerTemporaryFile(const std::string& path) {
    if (path.size() >= kPathBytes) return -1;
    for (int slot = 0; slot < kSlots; ++slot) {
        if (slotInUse[slot].load()) continue;
        std::memcpy(registeredPaths[slot], path.c_str(), path.size() + 1);
        slotInUse[slot].store(true);
        return slot;
    }
    return -1;
}

void unregisterTemporaryFile(int slot) {
    if (slot >= 0 && slot < kSlots) slotInUse[slot].store(false);
}

void removeTemporaryFilesOnSignals() {
    struct sigaction action {};
    action.sa_handler = removeRegisteredAndStop;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous {};
        // A signal the caller chose to ignore stays ignored.
        if (::sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        ::sigaction(signalNumber, &action, nullptr);
    }
}

void removeStaleTemporaryFiles(const std::string& folder) {
    DIR* listing = ::opendir(folder.c_str());
    if (listing == nullptr) return;
    const std::size_t stemLength = std::strlen(kStem);
    const std::time_t now = std::time(nullptr);
    while (const dirent* entry = ::readdir(listing)) {
        const char* name = entry->d_name;
        if (std::strncmp(name, kStem, stemLength) != 0) continue;
        const std::string path = folder + "/" + name;
        char* end = nullptr;
        const long pid = std::strtol(name + stemLength, &end, 10);
        bool stale = false;
        if (end != name + stemLength && *end == '-') {
            stale = !processRuns(pid);
        } else {
            struct stat info {};
            stale = ::lstat(path.c_str(), &info) == 0 && now - info.st_mtime > 24 * 60 * 60;
        }
        if (stale) ::unlink(path.c_str());
    }
    ::closedir(listing);
}

}  // namespace ldi_host
