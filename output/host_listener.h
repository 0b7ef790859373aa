// What the engine's run turns into for the host: progress lines in the log
// pane, one map set per VOI filled map by map, and the VOI's result files.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <sstream>
#include <string>

#include "base/host_api.h"
#include "engine/engine_input.h"

namespace ldi {

struct AnalysisSetup;

// A progress event of the engine as the log pane shows it: the plug-in's
// prefix on every line, the condition's name emphasised.
std::string logPaneText(const EngineProgress& event);

class HostListener : public EngineListener {
public:
    // The run log of the VOI being computed is kept in runLog; failures are
    // described in errorStream.
    HostListener(const AnalysisSetup& setup, std::ostringstream& runLog, std::ostream& errorStream)
        : setup_(setup), runLog_(runLog), errorStream_(errorStream) {}

    void progress(const EngineProgress& event) override;
    // Starts the VOI's run log with the parameters and creates its map set.
    int beginSeed(int32_t seed) override;
    float* mapBuffer(int32_t seed, int32_t condition, int32_t kind, std::ostream& errorStream) override;
    int mapFinished(int32_t seed, int32_t condition, int32_t kind, const MapThresholds& map,
                    std::ostream& errorStream) override;
    // Saves the VOI's map set and run log.
    int endSeed(int32_t seed) override;

private:
    // The map set holds the kinds of every condition in turn.
    int32_t mapIndex(int32_t condition, int32_t kind) const;

    const AnalysisSetup& setup_;
    std::ostringstream& runLog_;
    std::ostream& errorStream_;
    SyMapHeader header_{};  // of the map being written
};

}  // namespace ldi
