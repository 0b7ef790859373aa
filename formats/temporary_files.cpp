#include "formats/temporary_files.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
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
constexpr const char* kLockName = ".ldi-lock";
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

std::string temporaryPrefix() { return std::string(kStem) + currentProcessTag() + "-"; }

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

namespace {

// The tag at `at` of `name`, up to the '-' after it: "<pid>" (an older
// version's) or "<pid>@<host>@<boot>@<pid namespace>". False when there is none.
bool readTag(const std::string& name, std::size_t at, TemporaryOwner& owner) {
    std::size_t end = at;
    while (end < name.size() && name[end] >= '0' && name[end] <= '9') ++end;
    if (end == at || end == name.size()) return false;
    owner.pid = std::strtol(name.c_str() + at, nullptr, 10);
    if (name[end] == '-') {
        owner.kind = TemporaryKind::unplaced;
        return true;
    }
    const std::size_t dash = name.find('-', end);
    if (name[end] != '@' || dash == std::string::npos) return false;
    std::string parts[3];
    std::size_t from = end + 1;
    for (int part = 0; part < 3; ++part) {
        const std::size_t to = part < 2 ? name.find('@', from) : dash;
        if (to == std::string::npos || to > dash || to == from) return false;
        parts[part] = name.substr(from, to - from);
        from = to + 1;
    }
    owner.place = ProcessPlace{parts[0], parts[1], parts[2]};
    owner.kind = TemporaryKind::elsewhere;
    return true;
}

// Proved dead: a process of this place that no longer runs, or an older version's file after a day.
bool provedDead(const TemporaryOwner& owner, bool old) {
    if (owner.kind == TemporaryKind::here) return !processRuns(owner.pid);
    return owner.kind == TemporaryKind::unplaced && old;
}

std::string hoursAgo(std::chrono::hours age) {
    return age.count() >= 48 ? std::to_string(age.count() / 24) + " days" : std::to_string(age.count()) + " hours";
}

}  // namespace

TemporaryOwner temporaryOwner(const std::string& fileName, const ProcessPlace& here) {
    TemporaryOwner owner;
    const std::size_t stemLength = std::strlen(kStem);
    if (fileName.compare(0, stemLength, kStem) == 0) {
        // A name only ldi gives: without a readable tag it is an older version's.
        if (!readTag(fileName, stemLength, owner)) owner = TemporaryOwner{TemporaryKind::unplaced, 0, {}};
    } else {
        const std::size_t log = fileName.find(kLogStem);
        if (log == std::string::npos || !readTag(fileName, log + std::strlen(kLogStem), owner)) return {};
    }
    const ProcessPlace& there = owner.place;
    if (owner.kind == TemporaryKind::elsewhere && there.host == here.host && there.boot == here.boot &&
        there.pidNamespace == here.pidNamespace)
        owner.kind = TemporaryKind::here;
    return owner;
}

void removeStaleTemporaryFiles(const std::string& folder, const FolderMessage& report) {
    namespace fs = std::filesystem;
    std::error_code error;
    const ProcessPlace here = currentProcessPlace();
    const auto now = fs::file_time_type::clock::now();
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end; entry.increment(error)) {
        const TemporaryOwner owner = temporaryOwner(entry->path().filename().string(), here);
        if (owner.kind == TemporaryKind::notTemporary) continue;
        std::error_code timeError;
        const auto written = fs::last_write_time(entry->path(), timeError);
        const auto age = std::chrono::duration_cast<std::chrono::hours>(now - written);
        const bool old = !timeError && age > std::chrono::hours(24);
        if (provedDead(owner, old)) {
            fs::remove(entry->path(), error);
        } else if (owner.kind == TemporaryKind::elsewhere && old && report) {
            report("kept " + entry->path().string() + ": left " + hoursAgo(age) + " ago by ldi process " +
                   std::to_string(owner.pid) + " on host " + owner.place.host +
                   " (another host, boot or container, where this run cannot tell whether it still runs); "
                   "remove it when no ldi run on " + owner.place.host + " writes into " + folder);
        }
        error.clear();
    }
}

#if defined(_WIN32)
// ldi writes no study folders on Windows; its saves replace files one by one.
FolderLock::~FolderLock() = default;
void FolderLock::hold(const std::string&, const FolderMessage&) {}
#else
namespace {

// A write lock on the whole file: an open file description's own where the
// system has them (two holders in one process exclude each other, and closing
// another descriptor of the file does not drop it), else the process's.
int lockWholeFile(int fd, bool wait) {
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
#if defined(F_OFD_SETLKW)
    return ::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &whole);
#else
    return ::fcntl(fd, wait ? F_SETLKW : F_SETLK, &whole);
#endif
}

// "ldi process 123 on host node07", from the tag the holder wrote.
std::string holderOf(int fd) {
    char text[512] = {};
    const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
    TemporaryOwner owner;
    const std::string tag = got > 0 ? std::string(text, static_cast<std::size_t>(got)) : std::string();
    if (!readTag(tag + "-", 0, owner)) return "another ldi run";
    return "ldi process " + std::to_string(owner.pid) + (owner.place.host.empty() ? "" : " on host " + owner.place.host);
}

// Whether `fd` is still the file at `path`: a holder removes the file before it
// lets go, so one that waited on it must take the lock again on the new file.
bool stillThere(int fd, const std::string& path) {
    struct stat open {}, named {};
    return ::fstat(fd, &open) == 0 && ::lstat(path.c_str(), &named) == 0 && open.st_dev == named.st_dev &&
           open.st_ino == named.st_ino;
}

}  // namespace

FolderLock::~FolderLock() {
    if (fd_ < 0) return;
    // Removed while still held, so that the folder keeps nothing of the lock.
    if (!path_.empty()) ::unlink(path_.c_str());
    ::close(fd_);  // closing releases the lock
}

void FolderLock::hold(const std::string& folder, const FolderMessage& tell) {
    const std::string path = folder + "/" + kLockName;
    bool told = false;
    for (;;) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd_ < 0) return holdFolderItself(folder, tell);
        if (lockWholeFile(fd_, false) != 0) {
            if (errno != EAGAIN && errno != EACCES) {
                if (tell)
                    tell("cannot lock " + folder + " (" + std::strerror(errno) +
                         "): its file system passes no locks, so two ldi runs writing into it at once, on this "
                         "host or others, may mix their files; run one at a time there");
                ::close(fd_);
                fd_ = -1;
                return;
            }
            if (tell && !told) tell("waiting for " + holderOf(fd_) + " writing into " + folder);
            told = true;
            while (lockWholeFile(fd_, true) != 0 && errno == EINTR) {
            }
        }
        if (stillThere(fd_, path)) break;
        ::close(fd_);
    }
    path_ = path;
    const std::string tag = currentProcessTag() + "\n";
    // Only the waiting runs' message names the holder: the lock holds without it.
    if (::ftruncate(fd_, 0) != 0 || ::pwrite(fd_, tag.data(), tag.size(), 0) < 0) return;
}

// A folder that takes no new file (read-only to this user): the lock of older
// versions, on the folder itself, which holds on this host only.
void FolderLock::holdFolderItself(const std::string& folder, const FolderMessage& tell) {
    fd_ = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0 || ::flock(fd_, LOCK_EX | LOCK_NB) == 0) return;
    if (tell) tell("waiting for another ldi run writing into " + folder);
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
}
#endif

}  // namespace ldi
