// The statistics options of `ldi map`, declared once for every command that
// thresholds maps.
#pragma once

#include <string>

#include "analysis/map_statistics.h"

namespace CLI {
class App;
}

namespace ldi {

void addStatisticsOptions(CLI::App& command, MapStatisticsOptions& options);

// --order P|auto[:MAX]: the model order given, or chosen from the data.
void addOrderOption(CLI::App& command, std::string& order);

}  // namespace ldi
