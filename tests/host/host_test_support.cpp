#include "host_test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/vtc_writer.h"

extern char** environ;

ProcessResult runLdi(const std::vector<std::string>& arguments, const std::string& folder,
                     const std::string& input) {
    namespace fs = std::filesystem;
    ProcessResult result;
    const std::string inPath = folder + "/.stdin";
    const std::string outPath = folder + "/.stdout";
    const std::string errPath = folder + "/.stderr";
    writeFileText(inPath, input);

    std::vector<std::string> argv = {LDI_HOST_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> pointers;
    for (std::string& argument : argv) pointers.push_back(argument.data());
    pointers.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, inPath.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());  // relative paths resolve there
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return result;
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    result.out = readFileText(outPath);
    result.err = readFileText(errPath);
    fs::remove(inPath);
    fs::remove(outPath);
    fs::remove(errPath);
    return result;
}

std::string readFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

void writeFileText(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::vector<std::string> filesIn(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool writeAnalysisVtc(const std::string& path, int volumes, unsigned seed) {
    VtcWriterOptions options;
    options.numVolumes = volumes;
    options.resolution = 3;
    options.xStart = 0;
    options.xEnd = 12;
    options.yStart = 0;
    options.yEnd = 9;
    options.zStart = 0;
    options.zEnd = 6;
    options.value = [seed](int x, int y, int z, int t) {
        // A deterministic hash of the position gives noise in [-1, 1).
        uint32_t h = seed * 2654435761u ^ uint32_t(x * 73856093) ^ uint32_t(y * 19349663) ^
                     uint32_t(z * 83492791) ^ uint32_t(t * 2246822519u);
        h ^= h >> 15;
        h *= 2246822519u;
        h ^= h >> 13;
        const float noise = float(h % 20000u) / 10000.0f - 1.0f;
        return 1000.0f + 10.0f * noise + float((x + y + z) % 3) * float(t % 7);
    };
    return writeTestVtc(path, options);
}

std::string analysisVoiText() {
    return "# two reference regions\n"
           "Coordinates: internal\n"
           "VOI: Motor\n"
           "0 0 0\n"
           "3 0 0\n"
           "\n"
           "VOI: Visual\n"
           "6 3 3\n";
}

int countOf(const std::string& text, const std::string& needle) {
    int count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}
