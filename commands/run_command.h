// The options of `ldi run`, parsed on their own for the tests.
#pragma once

#include <string>

#include "host/plugin_run.h"

namespace ldi {

// Parses only the options of `ldi run` (arguments after "run"). False with a
// message on a usage error.
bool parseRunOptions(int argc, const char* const* argv, RunOptions& options, std::string& problem);

}  // namespace ldi
