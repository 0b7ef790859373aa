// Runs the built `ldi` as a child process with a time limit, so that a run
// that hangs fails its test instead of stalling the suite. The child's
// standard streams go to files outside the folder it works in, so that the
// folder holds only what the run itself wrote.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/vtc_writer.h"

namespace ldi {

struct LdiOutcome {
    int status = -1;        // exit status; -1 when the process did not exit normally
    int signal = 0;         // the signal that ended it, if one did
    bool timedOut = false;  // killed after the time limit
    std::string out;
    std::string err;
    std::string all() const { return out + err; }
};

class LdiProcess {
public:
    LdiProcess() = default;
    ~LdiProcess();  // kills a child still running
    LdiProcess(const LdiProcess&) = delete;
    LdiProcess& operator=(const LdiProcess&) = delete;

    // Starts `ldi ARGUMENTS` in `folder` with `input` on standard input.
    bool start(const std::vector<std::string>& arguments, const std::string& folder,
               const std::string& input = std::string());
    // True while the child has not ended.
    bool running();
    // Waits for the end, killing the child after `seconds`.
    LdiOutcome finish(int seconds);

private:
    TestTempDir streams_;
    pid_t pid_ = -1;
    bool ended_ = false;
    int waitStatus_ = 0;
};

// Time limit of one run: generous, the sanitizer build is several times slower.
constexpr int ldiRunSeconds = 300;

LdiOutcome runLdiFor(const std::vector<std::string>& arguments, const std::string& folder,
                     const std::string& input = std::string(), int seconds = ldiRunSeconds);

std::string readWholeFile(const std::string& path);
void writeWholeFile(const std::string& path, const std::string& content);
// Names in a folder, sorted, hidden ones included.
std::vector<std::string> folderContents(const std::string& folder);

}  // namespace ldi
