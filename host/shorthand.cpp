#include "host/shorthand.h"

#include <utility>

#include "host/host_state.h"
#include "base/host_api.h"

namespace ldi_host {

namespace {

struct DataEntry {
    std::string source;
    std::string target;  // empty in single-VTC form
    bool manual = false;
    int32_t first = 0;
    int32_t last = 0;
    std::string protocol;
    std::string protocolCondition;
    bool hasProtocolCondition = false;
    std::string label;  // "--data VALUE" for messages
};

struct ConditionEntry {
    std::string name;
    std::vector<DataEntry> data;
};

bool hasLineBreak(const std::string& value) {
    return value.find('\n') != std::string::npos || value.find('\r') != std::string::npos;
}

bool parseInterval(const std::string& text, int32_t& first, int32_t& last) {
    std::size_t dash = text.find('-', 1);  // not a leading sign
    if (dash == std::string::npos) return false;
    return parseInt32(trim(std::string_view(text).substr(0, dash)), first) &&
           parseInt32(trim(std::string_view(text).substr(dash + 1)), last);
}

bool checkPath(const std::string& path, const std::string& option, std::string& problem) {
    if (path.empty()) {
        problem = option + " needs a file name";
        return false;
    }
    if (std::string(trim(path)) != path) {
        problem = option + " " + quoteText(path) +
                  ": a path that begins or ends with blanks cannot be given here; use --answers";
        return false;
    }
    if (path.size() + 1 > SY_OPEN_FILE_CAPACITY) {
        problem = option + " " + path + ": the path is longer than " +
                  std::to_string(SY_OPEN_FILE_CAPACITY - 1) + " bytes";
        return false;
    }
    return true;
}

}  // namespace

const char* shorthandOptionName(ShorthandOption option) {
    switch (option) {
        case ShorthandOption::SelectVoi: return "--select-voi";
        case ShorthandOption::Condition: return "--condition";
        case ShorthandOption::Data: return "--data";
        case ShorthandOption::Interval: return "--interval";
        case ShorthandOption::Protocol: return "--protocol";
        case ShorthandOption::ProtocolCondition: return "--protocol-condition";
        case ShorthandOption::Out: return "--out";
    }
    return "";
}

bool buildShorthandAnswers(const std::vector<ShorthandItem>& items, const VoiList& vois,
                           std::vector<AnswerLine>& answers, std::string& problem) {
    answers.clear();
    std::vector<int32_t> voiNumbers;  // 1-based; n+1 for all
    bool allVois = false;
    std::vector<ConditionEntry> conditions;
    std::string out;
    bool hasOut = false;
    const int32_t voiCount = static_cast<int32_t>(vois.vois.size());

    for (const ShorthandItem& item : items) {
        const std::string option = shorthandOptionName(item.option);
        if (hasLineBreak(item.value)) {
            problem = option + " " + quoteText(item.value) + ": the value cannot hold a line break";
            return false;
        }
        switch (item.option) {
            case ShorthandOption::SelectVoi: {
                if (item.value == "all") {
                    allVois = true;
                    break;
                }
                int32_t number = 0;
                int matches = 0;
                for (int32_t i = 0; i < voiCount; ++i) {
                    if (vois.vois[static_cast<std::size_t>(i)].name == item.value) {
                        if (matches == 0) number = i + 1;
                        ++matches;
                    }
                }
                if (matches > 1) {
                    problem = "--select-voi " + quoteText(item.value) + ": " + std::to_string(matches) +
                              " VOIs have that name; give the VOI's number instead";
                    return false;
                }
                if (matches == 0) {
                    if (!parseInt32(item.value, number)) {
                        std::string names;
                        for (const VoiDefinition& voi : vois.vois)
                            names += (names.empty() ? "" : ", ") + quoteText(voi.name);
                        problem = "--select-voi " + quoteText(item.value) +
                                  ": no VOI has that name (the VOIs are " +
                                  (names.empty() ? std::string("none") : names) + ")";
                        return false;
                    }
                    if (number < 1 || number > voiCount) {
                        problem = "--select-voi " + item.value + ": there is no VOI with that number (1 to " +
                                  std::to_string(voiCount) + ")";
                        return false;
                    }
                }
                for (int32_t chosen : voiNumbers) {
                    if (chosen == number) {
                        problem = "--select-voi " + item.value + ": VOI " + std::to_string(number) +
                                  " is selected twice";
                        return false;
                    }
                }
                voiNumbers.push_back(number);
                break;
            }
            case ShorthandOption::Condition: {
                if (item.value.empty()) {
                    problem = "--condition needs a name";
                    return false;
                }
                if (item.value.size() + 1 > SY_TEXT_INPUT_CAPACITY) {
                    problem = "--condition: the name is longer than " +
                              std::to_string(SY_TEXT_INPUT_CAPACITY - 1) + " bytes";
                    return false;
                }
                if (std::string(trim(item.value)) == "<cancel>") {
                    problem = "--condition <cancel>: that name cannot be given here; use --answers";
                    return false;
                }
                for (const ConditionEntry& condition : conditions) {
                    if (condition.name == item.value) {
                        problem = "--condition " + quoteText(item.value) + " is given twice";
                        return false;
                    }
                }
                conditions.push_back(ConditionEntry{item.value, {}});
                break;
            }
            case ShorthandOption::Data: {
                if (conditions.empty()) {
                    problem = "--data " + item.value + " comes before the first --condition";
                    return false;
                }
                DataEntry entry;
                entry.label = "--data " + item.value;
                std::size_t colon = item.value.find(':');
                if (colon == std::string::npos) {
                    entry.source = item.value;
                } else {
                    entry.source = item.value.substr(0, colon);
                    entry.target = item.value.substr(colon + 1);
                    if (!checkPath(entry.target, "--data (target)", problem)) return false;
                }
                if (!checkPath(entry.source, colon == std::string::npos ? "--data" : "--data (source)",
                               problem))
                    return false;
                for (const DataEntry& other : conditions.back().data) {
                    if (other.source == entry.source && other.target == entry.target) {
                        problem = entry.label + " is given twice for the condition " +
                                  quoteText(conditions.back().name);
                        return false;
                    }
                }
                conditions.back().data.push_back(std::move(entry));
                break;
            }
            case ShorthandOption::Interval:
            case ShorthandOption::Protocol:
            case ShorthandOption::ProtocolCondition: {
                if (conditions.empty() || conditions.back().data.empty()) {
                    problem = option + " " + item.value + " must follow a --data option";
                    return false;
                }
                DataEntry& entry = conditions.back().data.back();
                if (item.option == ShorthandOption::Interval) {
                    if (entry.manual || !entry.protocol.empty()) {
                        problem = "--interval " + item.value + ": " + entry.label +
                                  " already has its intervals";
                        return false;
                    }
                    if (!parseInterval(item.value, entry.first, entry.last) || entry.first < 1 ||
                        entry.last < 1 || entry.first > 1000000 || entry.last > 1000000) {
                        problem = "--interval " + quoteText(item.value) +
                                  ": expected FIRST-LAST, two volume numbers from 1 to 1000000 "
                                  "(for example 5-100)";
                        return false;
                    }
                    entry.manual = true;
                } else if (item.option == ShorthandOption::Protocol) {
                    if (entry.manual || !entry.protocol.empty()) {
                        problem = "--protocol " + item.value + ": " + entry.label +
                                  " already has its intervals";
                        return false;
                    }
                    if (!checkPath(item.value, "--protocol", problem)) return false;
                    entry.protocol = item.value;
                } else {
                    if (entry.protocol.empty()) {
                        problem = "--protocol-condition " + item.value +
                                  " must follow the --protocol FILE of " + entry.label;
                        return false;
                    }
                    if (entry.hasProtocolCondition) {
                        problem = "--protocol-condition " + item.value + ": " + entry.label +
                                  " already has its protocol condition";
                        return false;
                    }
                    entry.protocolCondition = item.value;
                    entry.hasProtocolCondition = true;
                }
                break;
            }
            case ShorthandOption::Out:
                if (hasOut) {
                    problem = "--out is given twice";
                    return false;
                }
                if (item.value.empty() || std::string(trim(item.value)) != item.value ||
                    item.value.size() + 1 > SY_SAVE_FILE_CAPACITY) {
                    problem = "--out " + quoteText(item.value) +
                              ": expected a path and name prefix without surrounding blanks, at most " +
                              std::to_string(SY_SAVE_FILE_CAPACITY - 1) + " bytes";
                    return false;
                }
                out = item.value;
                hasOut = true;
                break;
        }
    }

    if (conditions.empty()) {
        problem = "give at least one --condition NAME with its --data and --interval (or --protocol)";
        return false;
    }
    if (!hasOut) {
        problem = "give --out PREFIX: the path and name prefix of the results";
        return false;
    }
    bool anyManual = false;
    bool anyProtocol = false;
    bool anyPair = false;
    bool anySingle = false;
    for (const ConditionEntry& condition : conditions) {
        if (condition.data.empty()) {
            problem = "--condition " + quoteText(condition.name) + " has no --data";
            return false;
        }
        for (const DataEntry& entry : condition.data) {
            if (!entry.manual && entry.protocol.empty()) {
                problem = entry.label + " needs --interval FIRST-LAST or --protocol FILE "
                                        "--protocol-condition NAME|NUMBER after it";
                return false;
            }
            if (!entry.protocol.empty() && !entry.hasProtocolCondition) {
                problem = "--protocol " + entry.protocol + " (for " + entry.label +
                          ") needs --protocol-condition NAME|NUMBER after it";
                return false;
            }
            (entry.manual ? anyManual : anyProtocol) = true;
            (entry.target.empty() ? anySingle : anyPair) = true;
        }
    }
    if (anyManual && anyProtocol) {
        problem = "--interval and --protocol cannot be mixed in one run: the plug-in asks once "
                  "how every interval is given";
        return false;
    }
    if (anyPair && anySingle) {
        problem = "--data FILE and --data SOURCE:TARGET cannot be mixed in one run";
        return false;
    }

    // The answers, in the order the plug-in asks its dialogs.
    auto add = [&](std::string text, DialogKind kind, std::string purpose) {
        AnswerLine line;
        line.line = static_cast<int>(answers.size() + 1);
        line.text = std::move(text);
        line.kindKnown = true;
        line.expectedKind = kind;
        line.purpose = std::move(purpose);
        answers.push_back(std::move(line));
    };
    if (allVois || voiNumbers.empty()) {
        add(std::to_string(voiCount + 1), DialogKind::Integer, "--select-voi all");
    } else {
        for (int32_t number : voiNumbers)
            add(std::to_string(number), DialogKind::Integer, "--select-voi " + std::to_string(number));
        add("0", DialogKind::Integer, "the end of the --select-voi list");
    }
    add(anyManual ? "1" : "2", DialogKind::Integer,
        anyManual ? "--interval (manual intervals)" : "--protocol (intervals from a protocol)");
    for (const ConditionEntry& condition : conditions) {
        add(condition.name, DialogKind::Text, "--condition " + condition.name);
        for (const DataEntry& entry : condition.data) {
            add(entry.source, DialogKind::OpenFile, entry.label);
            if (anyPair) add(entry.target, DialogKind::OpenFile, entry.label + " (target)");
            if (entry.manual) {
                add(std::to_string(entry.first), DialogKind::Integer, "the first volume of --interval");
                add(std::to_string(entry.last), DialogKind::Integer, "the last volume of --interval");
                continue;
            }
            add(entry.protocol, DialogKind::OpenFile, "--protocol " + entry.protocol);
            Protocol protocol;
            std::string detail;
            if (!loadProtocolFile(entry.protocol, protocol, detail)) {
                problem = "--protocol: " + detail;
                return false;
            }
            int32_t number = 0;
            for (std::size_t i = 0; i < protocol.conditions.size() && number == 0; ++i) {
                if (protocol.conditions[i].name == entry.protocolCondition) number = static_cast<int32_t>(i + 1);
            }
            if (number == 0) {
                int32_t given = 0;
                if (parseInt32(entry.protocolCondition, given) && given >= 1 &&
                    static_cast<std::size_t>(given) <= protocol.conditions.size()) {
                    number = given;
                } else {
                    std::string names;
                    for (const ProtocolCondition& c : protocol.conditions)
                        names += (names.empty() ? "" : ", ") + quoteText(c.name);
                    problem = "--protocol-condition " + quoteText(entry.protocolCondition) +
                              ": the protocol " + entry.protocol +
                              " has no condition of that name or number (its conditions are " +
                              (names.empty() ? std::string("none") : names) + ")";
                    return false;
                }
            }
            add(std::to_string(number), DialogKind::Integer,
                "--protocol-condition " + entry.protocolCondition);
        }
        add("<cancel>", DialogKind::OpenFile, "the end of the --data list of " + condition.name);
    }
    add("", DialogKind::Text, "the end of the --condition list");
    add(out, DialogKind::SaveFile, "--out " + out);
    return true;
}

}  // namespace ldi_host
