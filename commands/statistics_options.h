// The statistics options of `ldi map`, declared once for every command that
// thresholds maps.
#pragma once

#include "analysis/map_statistics.h"

namespace CLI {
class App;
}

namespace ldi {

void addStatisticsOptions(CLI::App& command, MapStatisticsOptions& options);

}  // namespace ldi
