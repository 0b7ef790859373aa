#include "base/log_pane.h"

#include "base/host_api.h"

namespace ldi {

void logLine(const std::string& text) { hostApi.syLogText(formatLogLine(text).c_str()); }

void logEndBanner() {
    hostApi.syLogText((std::string("\n") + logStarLine).c_str());
    hostApi.syLogText("//  End LDI-Plugin output");
    hostApi.syLogText((std::string(logStarLine) + "\n").c_str());
}

}  // namespace ldi
