#include "base/process.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <fstream>

namespace ldi {

namespace {

std::string fileNameSafe(std::string text) {
    for (char& c : text) {
        const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.';
        if (!kept) c = '_';
    }
    return text.empty() ? "_" : text;
}

std::string hostName() {
#if defined(_WIN32)
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    return GetComputerNameA(name, &size) ? std::string(name, size) : std::string();
#else
    char name[256] = {};
    return ::gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string();
#endif
}

}  // namespace

long currentProcessId() {
#if defined(_WIN32)
    return static_cast<long>(GetCurrentProcessId());
#else
    return static_cast<long>(::getpid());
#endif
}

ProcessPlace currentProcessPlace() {
    ProcessPlace place;
    place.host = fileNameSafe(hostName());
    place.boot = "0";
    place.pidNamespace = "0";
#if !defined(_WIN32)
    std::ifstream bootId("/proc/sys/kernel/random/boot_id");
    std::string boot;
    if (bootId >> boot && boot.size() >= 8) place.boot = fileNameSafe(boot.substr(0, 8));
    struct stat status {};
    if (::stat("/proc/self/ns/pid", &status) == 0) place.pidNamespace = std::to_string(status.st_ino);
#endif
    return place;
}

std::string processTag(long pid, const ProcessPlace& place) {
    return std::to_string(pid) + "@" + place.host + "@" + place.boot + "@" + place.pidNamespace;
}

std::string currentProcessTag() { return processTag(currentProcessId(), currentProcessPlace()); }

}  // namespace ldi
