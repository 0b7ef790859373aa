// The analysis parameters as the front ends take them: the defaults, a
// settings file, then single options (order, surrogates, q values), each
// checked by the settings reader with its ranges and messages; and the model
// order, given or chosen from the data.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "analysis/analysis_request.h"
#include "config/global_parameters.h"
#include "engine/engine.h"
#include "engine/order_selection.h"

namespace ldi {

struct ParameterOptions {
    std::string settingsFile;                // "" for none
    std::optional<std::string> order;        // P, auto or auto:MAX
    std::optional<int> surrogates;
    std::optional<std::string> q;            // comma-separated
    bool orderReport = false;                // score the orders and stop
};

// --order: a number, or "auto" / "auto:MAX" to choose it from the data.
bool parseOrderChoice(const std::string& text, bool report, OrderChoice& choice, std::string& problem);

// The parameters and the order choice; false with a message that names the
// option or the settings file.
bool readAnalysisParameters(const ParameterOptions& options, GlobalParameters& parameters, OrderChoice& order,
                            std::string& problem);

// The order with the lowest median BIC over a sample of the analysed voxels
// (`input` holds the seeds, conditions and mask), with the table of every
// order tried as text. False with a message.
bool chooseModelOrder(const EngineInput& input, const OrderChoice& choice, OrderSelection& selection,
                      std::string& table, std::string& problem);

}  // namespace ldi
