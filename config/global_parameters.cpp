#include "config/global_parameters.h"

#include <charconv>
#include <functional>
#include <limits>
#include <system_error>

namespace ldi {

namespace {

const char* const mapTypeNames[mapTypeCount] = {"REF2VOX", "VOX2REF", "INST",
                                                "DLDI",    "DLDI_IT", "DLDI_RC"};

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::vector<std::string> splitTokens(const std::string& line) {
    std::vector<std::string> tokens;
    std::size_t position = 0;
    while (position < line.size()) {
        while (position < line.size() && isBlank(line[position])) ++position;
        std::size_t end = position;
        while (end < line.size() && !isBlank(line[end])) ++end;
        if (end > position) tokens.push_back(line.substr(position, end - position));
        position = end;
    }
    return tokens;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

enum class NumberScan { notANumber, ok, outOfRange };

// Reads the optionally signed decimal integer at the start of the token; the
// rest of the token is ignored. `text` receives the digits that were read, for
// messages about numbers too large to hold.
NumberScan scanInteger(const std::string& token, long long& value, std::string& text) {
    std::size_t position = 0;
    bool negative = false;
    if (position < token.size() && (token[position] == '+' || token[position] == '-')) {
        negative = token[position] == '-';
        ++position;
    }
    const std::size_t digitsStart = position;
    while (position < token.size() && isDigit(token[position])) ++position;
    if (position == digitsStart) return NumberScan::notANumber;
    text = (negative ? "-" : "") + token.substr(digitsStart, position - digitsStart);
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc() ? NumberScan::ok : NumberScan::outOfRange;
}

// Reads the optionally signed decimal number (optional fraction and exponent)
// at the start of the token into single precision. Words such as "inf" or
// "nan" and hexadecimal forms are not numbers here.
NumberScan scanFloat(const std::string& token, float& value, std::string& text) {
    std::size_t position = 0;
    bool negative = false;
    if (position < token.size() && (token[position] == '+' || token[position] == '-')) {
        negative = token[position] == '-';
        ++position;
    }
    const std::size_t numberStart = position;
    std::size_t digits = 0;
    while (position < token.size() && isDigit(token[position])) ++position, ++digits;
    if (position < token.size() && token[position] == '.') {
        ++position;
        while (position < token.size() && isDigit(token[position])) ++position, ++digits;
    }
    if (digits == 0) return NumberScan::notANumber;
    if (position < token.size() && (token[position] == 'e' || token[position] == 'E')) {
        std::size_t exponent = position + 1;
        if (exponent < token.size() && (token[exponent] == '+' || token[exponent] == '-')) ++exponent;
        if (exponent < token.size() && isDigit(token[exponent])) {
            position = exponent;
            while (position < token.size() && isDigit(token[position])) ++position;
        }
    }
    text = (negative ? "-" : "") + token.substr(numberStart, position - numberStart);
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value,
                                        std::chars_format::general);
    return result.ec == std::errc() ? NumberScan::ok : NumberScan::outOfRange;
}

const char* const fileName = "LDIPlugin.ini";

// What one scalar key accepts and how it stores the value.
struct IntegerKey {
    const char* key;
    long long minimum;
    long long maximum;
    const char* rangeSuffix;
    bool quoteInvalidToken;
    std::function<void(GlobalParameters&, long long)> store;
};

struct FloatKey {
    const char* key;
    std::function<bool(float)> inRange;
    const char* rangeSuffix;
    std::function<void(GlobalParameters&, float)> store;
};

// The 16-bit field cannot hold more; a larger value would silently wrap.
constexpr long long firstTimePointMaximum = std::numeric_limits<uint16_t>::max();

const IntegerKey integerKeys[] = {
    {"CVConstantForFDR=", 1, 2, " (must be 1 or 2)", true,
     [](GlobalParameters& p, long long v) { p.cvConstantForFDR = static_cast<int32_t>(v); }},
    {"AutoRegressionOrder=", 1, 20, " (valid range 1 - 20)", false,
     [](GlobalParameters& p, long long v) { p.autoRegressionOrder = static_cast<int32_t>(v); }},
    {"FirstTimePointInclusionThres=", 0, firstTimePointMaximum, " (must be >= 0)", false,
     [](GlobalParameters& p, long long v) {
         p.firstTimePointInclusionThres = static_cast<uint16_t>(v);
     }},
    {"ShowVerboseProgressLog=", 0, 1, " (must be 0 or 1)", false,
     [](GlobalParameters& p, long long v) { p.showVerboseProgressLog = v == 1; }},
    {"NumSurrogateSimulations=", 10, 10000, " (valid range 10 - 10000)", false,
     [](GlobalParameters& p, long long v) { p.numSurrogateSimulations = static_cast<uint32_t>(v); }},
    {"NumDiscardedSimulatedTimePoints=", 10, 1000, " (valid range 10 - 1000)", false,
     [](GlobalParameters& p, long long v) {
         p.numDiscardedSimulatedTimePoints = static_cast<uint32_t>(v);
     }},
    {"SeparateSourceTargetVTCs=", 0, 1, " (must be 0 or 1)", false,
     [](GlobalParameters& p, long long v) { p.separateSourceTargetVTCs = v == 1; }},
};

const FloatKey floatKeys[] = {
    {"DLDI_ITInstLowerThres=", [](float v) { return v > 0.0f; },
     " (must be >0, high values not recommended)",
     [](GlobalParameters& p, float v) { p.dldiITInstLowerThres = v; }},
    {"DLDI_RCUpperThres=", [](float v) { return v >= 0.0f && v < 1.0f; }, " (valid range [0, 1) )",
     [](GlobalParameters& p, float v) { p.dldiRCUpperThres = v; }},
    {"MapScaleFactor=", [](float v) { return v >= 0.01f && v <= 1000.0f; },
     " (must be bewteen 0.01 and 1000, inclusive)",
     [](GlobalParameters& p, float v) { p.mapScaleFactor = v; }},
};

const char* const mapTypesKey = "MapTypesComputed=";
const char* const qThresholdsKey = "QThresholdsForFDR=";

void reportMissingValue(std::ostream& errors, const char* key) {
    errors << "No valid entry for '" << key << "' found in " << fileName;
}

bool readIntegerKey(const IntegerKey& keyRule, const std::vector<std::string>& tokens,
                    GlobalParameters& parameters, std::ostream& errors) {
    if (tokens.size() < 2) {
        reportMissingValue(errors, keyRule.key);
        return false;
    }
    const std::string& token = tokens[1];
    long long value = 0;
    std::string text;
    const NumberScan scan = scanInteger(token, value, text);
    if (scan == NumberScan::notANumber) {
        errors << "Invalid entry for '" << keyRule.key << "' in " << fileName << ": ";
        if (keyRule.quoteInvalidToken)
            errors << "'" << token << "'";
        else
            errors << token;
        return false;
    }
    if (scan == NumberScan::outOfRange || value < keyRule.minimum || value > keyRule.maximum) {
        errors << "Invalid value for '" << keyRule.key << "' in " << fileName << ": ";
        if (scan == NumberScan::outOfRange)
            errors << text;
        else
            errors << value;
        if (keyRule.maximum == firstTimePointMaximum && value > keyRule.maximum)
            errors << " (must be >= 0 and at most " << firstTimePointMaximum << ")";
        else
            errors << keyRule.rangeSuffix;
        return false;
    }
    keyRule.store(parameters, value);
    return true;
}

bool readFloatKey(const FloatKey& keyRule, const std::vector<std::string>& tokens,
                  GlobalParameters& parameters, std::ostream& errors) {
    if (tokens.size() < 2) {
        reportMissingValue(errors, keyRule.key);
        return false;
    }
    const std::string& token = tokens[1];
    float value = 0.0f;
    std::string text;
    const NumberScan scan = scanFloat(token, value, text);
    if (scan == NumberScan::notANumber) {
        errors << "Invalid entry for '" << keyRule.key << "' in " << fileName << ": " << token;
        return false;
    }
    if (scan == NumberScan::outOfRange || !keyRule.inRange(value)) {
        errors << "Invalid value for '" << keyRule.key << "' in " << fileName << ": ";
        if (scan == NumberScan::outOfRange)
            errors << text;
        else
            errors << value;
        errors << keyRule.rangeSuffix;
        return false;
    }
    keyRule.store(parameters, value);
    return true;
}

bool readMapTypes(const std::vector<std::string>& tokens, GlobalParameters& parameters,
                  std::ostream& errors) {
    std::set<MapType> types;
    for (std::size_t i = 1; i < tokens.size(); ++i) {
        MapType type = REF2VOX;
        if (!mapTypeFromName(tokens[i], type)) {
            errors << "Unknown type-string for '" << mapTypesKey << "' in " << fileName << ": '"
                   << tokens[i] << "'";
            return false;
        }
        types.insert(type);
    }
    if (types.empty()) {
        errors << "No valid map-types for '" << mapTypesKey << "'  found in " << fileName;
        return false;
    }
    parameters.mapTypesComputed = std::move(types);
    return true;
}

bool readQThresholds(const std::vector<std::string>& tokens, GlobalParameters& parameters,
                     std::ostream& errors) {
    std::vector<float> values;
    for (std::size_t i = 1; i < tokens.size(); ++i) {
        float value = 0.0f;
        std::string text;
        const NumberScan scan = scanFloat(tokens[i], value, text);
        if (scan == NumberScan::notANumber) {
            errors << "Invalid entry for '" << qThresholdsKey << "' in " << fileName << ": '"
                   << tokens[i] << "'";
            return false;
        }
        if (scan == NumberScan::outOfRange || !(value > 0.0f && value < 1.0f)) {
            errors << "Invalid q-value for '" << qThresholdsKey << "' in " << fileName << ": ";
            if (scan == NumberScan::outOfRange)
                errors << text;
            else
                errors << value;
            return false;
        }
        values.push_back(value);
    }
    if (values.empty()) {
        errors << "No valid q-values for '" << qThresholdsKey << "' found in " << fileName;
        return false;
    }
    parameters.qThresholdsForFDR = std::move(values);
    return true;
}

bool readLine(const std::vector<std::string>& tokens, GlobalParameters& parameters,
              std::ostream& errors) {
    const std::string& key = tokens[0];
    if (key == mapTypesKey) return readMapTypes(tokens, parameters, errors);
    if (key == qThresholdsKey) return readQThresholds(tokens, parameters, errors);
    for (const IntegerKey& keyRule : integerKeys)
        if (key == keyRule.key) return readIntegerKey(keyRule, tokens, parameters, errors);
    for (const FloatKey& keyRule : floatKeys)
        if (key == keyRule.key) return readFloatKey(keyRule, tokens, parameters, errors);
    errors << "Unknown entry in " << fileName << ": '" << key << "'";
    return false;
}

enum class LineRead { line, tooLong, endOfFile };

// Reads one line of at most maxSettingsLineLength characters (the line end
// and a carriage return before it not counted). Stops reading as soon as a
// line turns out to be longer, so that a file without line ends cannot make
// the reader hold more than one line's worth.
LineRead readBoundedLine(std::istream& input, std::string& line) {
    line.clear();
    bool readAnything = false;
    char c = 0;
    while (input.get(c)) {
        readAnything = true;
        if (c == '\n') break;
        line.push_back(c);
        if (line.size() > maxSettingsLineLength + 1) return LineRead::tooLong;
    }
    if (!readAnything) return LineRead::endOfFile;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line.size() > maxSettingsLineLength ? LineRead::tooLong : LineRead::line;
}

}  // namespace

const char* mapTypeName(MapType type) {
    const int index = static_cast<int>(type);
    return index >= 0 && index < mapTypeCount ? mapTypeNames[index] : "";
}

bool mapTypeFromName(const std::string& name, MapType& type) {
    for (int i = 0; i < mapTypeCount; ++i) {
        if (name == mapTypeNames[i]) {
            type = static_cast<MapType>(i);
            return true;
        }
    }
    return false;
}

bool readSettingsFile(std::istream& input, GlobalParameters& target, std::ostream& errorStream) {
    // Work on a copy: a file with a bad line is dismissed as a whole, so the
    // lines before it must not leave their values behind.
    GlobalParameters parameters = target;
    std::string line;
    long lineNumber = 0;
    for (;;) {
        const LineRead read = readBoundedLine(input, line);
        if (read == LineRead::endOfFile) break;
        ++lineNumber;
        if (read == LineRead::tooLong) {
            errorStream << "Line " << lineNumber << " of " << fileName << " is longer than "
                        << maxSettingsLineLength << " characters; shorten it";
            return false;
        }
        // Editors that save UTF-8 with a byte order mark put it before the
        // first key, where it would make a correct key look unknown.
        if (lineNumber == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) {
            errorStream << fileName << " starts with a byte order mark; save it as plain text without one";
            return false;
        }
        const std::vector<std::string> tokens = splitTokens(line);
        if (tokens.empty() || tokens[0].compare(0, 2, "//") == 0) continue;
        // A NUL byte would cut the message about the line short wherever the
        // message is handed on as a C string, so it is named instead.
        if (line.find('\0') != std::string::npos) {
            errorStream << "Line " << lineNumber << " of " << fileName
                        << " holds a NUL byte; save the file as plain text";
            return false;
        }
        if (!readLine(tokens, parameters, errorStream)) return false;
    }
    // A read error (the name belongs to a folder, the disk fails) ends the
    // loop like the end of the file would; the lines not read may hold settings.
    if (input.bad()) {
        errorStream << fileName << " exists but could not be read; check that it is a file you may read";
        return false;
    }
    target = std::move(parameters);
    return true;
}

}  // namespace ldi
