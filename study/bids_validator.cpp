#include "study/bids_validator.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>

extern char** environ;

namespace ldi {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kReportLimit = std::size_t{4} << 20;

bool isProgram(const fs::path& path) {
    std::error_code error;
    return fs::is_regular_file(path, error) && ::access(path.c_str(), X_OK) == 0;
}

std::vector<fs::path> subfolders(const fs::path& folder) {
    std::vector<fs::path> folders;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        std::error_code kindError;
        const std::string name = it->path().filename().string();
        // node_modules' own packages and hidden folders hold no install folder of ours.
        if (name == "node_modules" || name.empty() || name[0] == '.') continue;
        if (it->is_directory(kindError)) folders.push_back(it->path());
    }
    std::sort(folders.begin(), folders.end());
    return folders;
}

// Closes a descriptor when it goes out of scope.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(); }
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

// posix_spawn's file actions, destroyed with the object.
class SpawnActions {
public:
    SpawnActions() { posix_spawn_file_actions_init(&actions_); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

void readAll(int fd, std::string& text) {
    char buffer[8192];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return;
        if (text.size() < kReportLimit) text.append(buffer, std::min(static_cast<std::size_t>(got), kReportLimit - text.size()));
    }
}

}  // namespace

std::string findBidsValidator(const std::string& searchPath, const std::vector<std::string>& installRoots) {
    std::istringstream folders(searchPath);
    for (std::string folder; std::getline(folders, folder, ':');)
        if (!folder.empty() && isProgram(fs::path(folder) / "bids-validator"))
            return (fs::path(folder) / "bids-validator").string();
    const fs::path bin = fs::path("node_modules") / ".bin" / "bids-validator";
    for (const std::string& root : installRoots) {
        if (root.empty()) continue;
        // Level by level: the folder nearest the top wins.
        std::vector<fs::path> level = {fs::path(root)};
        for (int depth = 0; depth < 3 && !level.empty(); ++depth) {
            std::vector<fs::path> below;
            for (const fs::path& folder : level) {
                if (isProgram(folder / bin)) return (folder / bin).string();
                for (const fs::path& sub : subfolders(folder)) below.push_back(sub);
            }
            level = std::move(below);
        }
    }
    return std::string();
}

std::vector<std::string> defaultValidatorRoots() {
#ifdef LDI_SOURCE_TREE
    return {LDI_SOURCE_TREE};
#else
    return {};
#endif
}

ValidationOutcome validateDataset(const std::string& program, const std::string& bidsDir) {
    ValidationOutcome outcome;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        outcome.report = std::string("cannot make a pipe: ") + std::strerror(errno);
        return outcome;
    }
    Descriptor readEnd(ends[0]), writeEnd(ends[1]);
    SpawnActions actions;
    posix_spawn_file_actions_addopen(actions.get(), 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), 1);
    posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), 2);
    std::vector<std::string> words = {program, bidsDir};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t child = 0;
    const int spawned = ::posix_spawn(&child, program.c_str(), actions.get(), nullptr, argv.data(), environ);
    writeEnd.reset();
    if (spawned != 0) {
        outcome.report = program + ": cannot be started: " + std::strerror(spawned);
        return outcome;
    }
    readAll(readEnd.get(), outcome.report);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    outcome.ran = true;
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.valid = outcome.status == 0;
    return outcome;
}

std::string shortReport(const std::string& report, std::size_t head, std::size_t tail) {
    std::vector<std::string> lines;
    std::istringstream in(report);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::string text;
    const auto add = [&text](const std::string& line) { text += line + "\n"; };
    if (lines.size() <= head + tail) {
        for (const std::string& line : lines) add(line);
        return text;
    }
    for (std::size_t k = 0; k < head; ++k) add(lines[k]);
    add("... (" + std::to_string(lines.size() - head - tail) + " lines more)");
    for (std::size_t k = lines.size() - tail; k < lines.size(); ++k) add(lines[k]);
    return text;
}

}  // namespace ldi
