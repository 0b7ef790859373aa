#include "study/map_invocation.h"

#include "commands/cli.h"

namespace ldi_host {

int runMapCommand(const std::vector<std::string>& arguments, std::istream& in, std::ostream& out, std::ostream& err) {
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());
    argv.push_back(nullptr);
    return runCommandLine(static_cast<int>(arguments.size()), argv.data(), in, false, out, err);
}

}  // namespace ldi_host
