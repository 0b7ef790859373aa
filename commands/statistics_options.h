// The statistics options of `ldi map`, declared once for every command that
// thresholds maps.
#pragma once

#include <string>

#include "analysis/map_statistics.h"
#include "analysis/nifti_source.h"

namespace CLI {
class App;
}

namespace ldi {

void addStatisticsOptions(CLI::App& command, MapStatisticsOptions& options);

// --memory-budget SIZE: how much memory the runs may take, held whole, before
// they spill to a temporary file.
void addMemoryBudgetOption(CLI::App& command, std::string& size);

// The budget of --memory-budget into `budgets` (left automatic when `size` is
// ""). False with a message naming the option.
bool readMemoryBudget(const std::string& size, SourceBudgets& budgets, std::string& problem);

// --order P|auto[:MAX]: the model order given, or chosen from the data.
void addOrderOption(CLI::App& command, std::string& order);

}  // namespace ldi
