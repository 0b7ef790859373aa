#include "analysis/parameters.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>


namespace ldi {

namespace {

// One option as the settings line it stands for, read like the settings file.
bool applySetting(const char* option, const std::string& line, GlobalParameters& parameters, std::string& problem) {
    std::istringstream in(line + "\n");
    std::ostringstream errors;
    if (readSettingsFile(in, parameters, errors)) return true;
    std::string message = errors.str();
    const std::string where = " in LDIPlugin.ini";
    for (std::size_t at; (at = message.find(where)) != std::string::npos;) message.erase(at, where.size());
    problem = std::string(option) + ": " + message;
    return false;
}

}  // namespace

bool parseOrderChoice(const std::string& text, bool report, OrderChoice& choice, std::string& problem) {
    choice = OrderChoice();
    choice.reportOnly = report;
    choice.automatic = report || text.rfind("auto", 0) == 0;
    if (!choice.automatic || text.size() <= 4) return true;
    const std::string max = text.substr(text.rfind("auto:", 0) == 0 ? 5 : 4);
    char* end = nullptr;
    const long value = std::strtol(max.c_str(), &end, 10);
    if (text.compare(0, 5, "auto:") != 0 || max.empty() || *end != '\0' || value < 1 || value > 32) {
        problem = "order " + text + ": give P, auto or auto:MAX with MAX from 1 to 32";
        return false;
    }
    choice.maxOrder = static_cast<int32_t>(value);
    return true;
}

bool readAnalysisParameters(const ParameterOptions& options, GlobalParameters& parameters, OrderChoice& order,
                            std::string& problem) {
    parameters = defaultAnalysisParameters();
    if (!options.settingsFile.empty()) {
        std::ifstream in(options.settingsFile, std::ios::binary);
        if (!in) {
            problem = "cannot open the settings file " + options.settingsFile;
            return false;
        }
        std::ostringstream errors;
        if (!readSettingsFile(in, parameters, errors)) {
            problem = options.settingsFile + ": " + errors.str();
            return false;
        }
    }
    // A number is a parameter like the others; auto leaves the settings' order until the data choose.
    if (!parseOrderChoice(options.order.value_or(""), false, order, problem)) return false;
    if (options.order && !order.automatic &&
        !applySetting("order", "AutoRegressionOrder= " + *options.order, parameters, problem))
        return false;
    if (options.surrogates &&
        !applySetting("surrogates", "NumSurrogateSimulations= " + std::to_string(*options.surrogates), parameters,
                      problem))
        return false;
    if (options.q) {
        std::string list = *options.q;
        std::replace(list.begin(), list.end(), ',', ' ');
        if (!applySetting("q", "QThresholdsForFDR= " + list, parameters, problem)) return false;
    }
    return parseOrderChoice(options.order.value_or(""), options.orderReport, order, problem);
}

bool chooseModelOrder(const EngineInput& input, const OrderChoice& choice, OrderSelection& selection,
                      std::string& table, std::string& problem) {
    std::ostringstream errors;
    if (!selectModelOrder(input, choice.maxOrder, ORDER_SAMPLE_VOXELS, selection, errors)) {
        problem = "order auto: " + errors.str();
        return false;
    }
    std::ostringstream text;
    writeOrderTable(selection, text);
    if (selection.leftOutIntervals > 0)
        text << selection.leftOutIntervals << " intervals no longer than " << choice.maxOrder
             << " volumes were left out of the choice\n";
    table = text.str();
    return true;
}

}  // namespace ldi
