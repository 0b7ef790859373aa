// Writing into the host's log pane.
#pragma once

#include <string>

#include "base/text.h"

namespace ldi {

// Writes one message into the host's log pane in a single syLogText call;
// every line of it starts with "// LDI> ". An empty text gives a line holding
// only the prefix; a trailing newline gives a last line holding only the prefix.
void logLine(const std::string& text);

// The line of stars that frames the banners of a run.
constexpr const char* logStarLine = "//****************************************************************";

// The closing banner of a run: three syLogText calls.
void logEndBanner();

}  // namespace ldi
