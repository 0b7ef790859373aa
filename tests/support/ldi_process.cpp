#include "support/ldi_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace ldi {

LdiProcess::~LdiProcess() {
    if (pid_ > 0 && !ended_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &waitStatus_, 0);
    }
}

bool LdiProcess::start(const std::vector<std::string>& arguments, const std::string& folder,
                       const std::string& input) {
    writeWholeFile(streams_.path("stdin"), input);
    std::vector<std::string> argv = {LDI_HOST_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> pointers;
    for (std::string& argument : argv) pointers.push_back(argument.data());
    pointers.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, streams_.path("stdin").c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, streams_.path("stdout").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, streams_.path("stderr").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    const int spawned = posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) pid_ = -1;
    ended_ = false;
    return pid_ > 0;
}

bool LdiProcess::running() {
    if (pid_ <= 0 || ended_) return false;
    if (::waitpid(pid_, &waitStatus_, WNOHANG) == pid_) ended_ = true;
    return !ended_;
}

LdiOutcome LdiProcess::finish(int seconds) {
    LdiOutcome outcome;
    if (pid_ <= 0) return outcome;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (running()) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &waitStatus_, 0);
            ended_ = true;
            outcome.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(waitStatus_)) outcome.status = WEXITSTATUS(waitStatus_);
    if (WIFSIGNALED(waitStatus_)) outcome.signal = WTERMSIG(waitStatus_);
    outcome.out = readWholeFile(streams_.path("stdout"));
    outcome.err = readWholeFile(streams_.path("stderr"));
    return outcome;
}

LdiOutcome runLdiFor(const std::vector<std::string>& arguments, const std::string& folder,
                     const std::string& input, int seconds) {
    LdiProcess process;
    if (!process.start(arguments, folder, input)) return LdiOutcome();
    return process.finish(seconds);
}

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

void writeWholeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::vector<std::string> folderContents(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace ldi
