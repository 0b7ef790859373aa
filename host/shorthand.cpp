#include "host/shorthand.h"

#include <utility>

#include "host/host_state.h"
#include "base/host_api.h"

namespace ldi {

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

// What the shorthand options say, gathered in command-line order.
struct ShorthandPlan {
    std::vector<int32_t> voiNumbers;  // from 1, in the order selected
    bool allVois = false;
    std::vector<ConditionEntry> conditions;
    std::string out;
    bool hasOut = false;
    // Known once the plan is complete: one way of giving intervals and one
    // form of --data for the whole run.
    bool manualIntervals = false;
    bool sourceTargetPairs = false;
};

// --select-voi: a VOI's name, its number, or all.
bool selectVoi(const std::string& value, const VoiList& vois, ShorthandPlan& plan, std::string& problem) {
    if (value == "all") {
        plan.allVois = true;
        return true;
    }
    const int32_t voiCount = static_cast<int32_t>(vois.vois.size());
    int32_t number = 0;
    int matches = 0;
    for (int32_t i = 0; i < voiCount; ++i) {
        if (vois.vois[static_cast<std::size_t>(i)].name == value) {
            if (matches == 0) number = i + 1;
            ++matches;
        }
    }
    if (matches > 1) {
        problem = "--select-voi " + quoteText(value) + ": " + std::to_string(matches) +
                  " VOIs have that name; give the VOI's number instead";
        return false;
    }
    if (matches == 0) {
        if (!parseInt32(value, number)) {
            std::string names;
            for (const VoiDefinition& voi : vois.vois) names += (names.empty() ? "" : ", ") + quoteText(voi.name);
            problem = "--select-voi " + quoteText(value) + ": no VOI has that name (the VOIs are " +
                      (names.empty() ? std::string("none") : names) + ")";
            return false;
        }
        if (number < 1 || number > voiCount) {
            problem = "--select-voi " + value + ": there is no VOI with that number (1 to " +
                      std::to_string(voiCount) + ")";
            return false;
        }
    }
    for (int32_t chosen : plan.voiNumbers) {
        if (chosen == number) {
            problem = "--select-voi " + value + ": VOI " + std::to_string(number) + " is selected twice";
            return false;
        }
    }
    plan.voiNumbers.push_back(number);
    return true;
}

// --condition NAME starts a condition; the options that follow belong to it.
bool startCondition(const std::string& name, ShorthandPlan& plan, std::string& problem) {
    if (name.empty()) {
        problem = "--condition needs a name";
        return false;
    }
    if (name.size() + 1 > SY_TEXT_INPUT_CAPACITY) {
        problem = "--condition: the name is longer than " + std::to_string(SY_TEXT_INPUT_CAPACITY - 1) + " bytes";
        return false;
    }
    if (std::string(trim(name)) == "<cancel>") {
        problem = "--condition <cancel>: that name cannot be given here; use --answers";
        return false;
    }
    for (const ConditionEntry& condition : plan.conditions) {
        if (condition.name == name) {
            problem = "--condition " + quoteText(name) + " is given twice";
            return false;
        }
    }
    plan.conditions.push_back(ConditionEntry{name, {}});
    return true;
}

// --data FILE or --data SOURCE:TARGET adds a VTC (or a pair) to the current condition.
bool addData(const std::string& value, ShorthandPlan& plan, std::string& problem) {
    if (plan.conditions.empty()) {
        problem = "--data " + value + " comes before the first --condition";
        return false;
    }
    DataEntry entry;
    entry.label = "--data " + value;
    std::size_t colon = value.find(':');
    if (colon == std::string::npos) {
        entry.source = value;
    } else {
        entry.source = value.substr(0, colon);
        entry.target = value.substr(colon + 1);
        if (!checkPath(entry.target, "--data (target)", problem)) return false;
    }
    if (!checkPath(entry.source, colon == std::string::npos ? "--data" : "--data (source)", problem)) return false;
    ConditionEntry& condition = plan.conditions.back();
    for (const DataEntry& other : condition.data) {
        if (other.source == entry.source && other.target == entry.target) {
            problem = entry.label + " is given twice for the condition " + quoteText(condition.name);
            return false;
        }
    }
    condition.data.push_back(std::move(entry));
    return true;
}

// --interval FIRST-LAST: the volumes of the preceding --data.
bool setInterval(const std::string& value, DataEntry& entry, std::string& problem) {
    if (entry.manual || !entry.protocol.empty()) {
        problem = "--interval " + value + ": " + entry.label + " already has its intervals";
        return false;
    }
    if (!parseInterval(value, entry.first, entry.last) || entry.first < 1 || entry.last < 1 ||
        entry.first > 1000000 || entry.last > 1000000) {
        problem = "--interval " + quoteText(value) +
                  ": expected FIRST-LAST, two volume numbers from 1 to 1000000 (for example 5-100)";
        return false;
    }
    entry.manual = true;
    return true;
}

// --protocol FILE: the intervals of the preceding --data come from a protocol.
bool setProtocol(const std::string& value, DataEntry& entry, std::string& problem) {
    if (entry.manual || !entry.protocol.empty()) {
        problem = "--protocol " + value + ": " + entry.label + " already has its intervals";
        return false;
    }
    if (!checkPath(value, "--protocol", problem)) return false;
    entry.protocol = value;
    return true;
}

// --protocol-condition NAME|NUMBER: which of the protocol's conditions; the
// protocol itself is read only when the answers are written.
bool setProtocolCondition(const std::string& value, DataEntry& entry, std::string& problem) {
    if (entry.protocol.empty()) {
        problem = "--protocol-condition " + value + " must follow the --protocol FILE of " + entry.label;
        return false;
    }
    if (entry.hasProtocolCondition) {
        problem = "--protocol-condition " + value + ": " + entry.label + " already has its protocol condition";
        return false;
    }
    entry.protocolCondition = value;
    entry.hasProtocolCondition = true;
    return true;
}

// --out PREFIX: where the results go.
bool setOut(const std::string& value, ShorthandPlan& plan, std::string& problem) {
    if (plan.hasOut) {
        problem = "--out is given twice";
        return false;
    }
    if (value.empty() || std::string(trim(value)) != value || value.size() + 1 > SY_SAVE_FILE_CAPACITY) {
        problem = "--out " + quoteText(value) +
                  ": expected a path and name prefix without surrounding blanks, at most " +
                  std::to_string(SY_SAVE_FILE_CAPACITY - 1) + " bytes";
        return false;
    }
    plan.out = value;
    plan.hasOut = true;
    return true;
}

// Adds one option to the plan, checking it against what came before.
bool readItem(const ShorthandItem& item, const VoiList& vois, ShorthandPlan& plan, std::string& problem) {
    const std::string option = shorthandOptionName(item.option);
    if (hasLineBreak(item.value)) {
        problem = option + " " + quoteText(item.value) + ": the value cannot hold a line break";
        return false;
    }
    switch (item.option) {
        case ShorthandOption::SelectVoi: return selectVoi(item.value, vois, plan, problem);
        case ShorthandOption::Condition: return startCondition(item.value, plan, problem);
        case ShorthandOption::Data: return addData(item.value, plan, problem);
        case ShorthandOption::Out: return setOut(item.value, plan, problem);
        case ShorthandOption::Interval:
        case ShorthandOption::Protocol:
        case ShorthandOption::ProtocolCondition: break;
    }
    // The options that describe the intervals of the preceding --data.
    if (plan.conditions.empty() || plan.conditions.back().data.empty()) {
        problem = option + " " + item.value + " must follow a --data option";
        return false;
    }
    DataEntry& entry = plan.conditions.back().data.back();
    if (item.option == ShorthandOption::Interval) return setInterval(item.value, entry, problem);
    if (item.option == ShorthandOption::Protocol) return setProtocol(item.value, entry, problem);
    return setProtocolCondition(item.value, entry, problem);
}

// Checks that the plan describes a whole run: every condition has data, every
// data its intervals, and the run one way of giving intervals and one form of
// --data, as the plug-in asks them once.
bool checkComplete(ShorthandPlan& plan, std::string& problem) {
    if (plan.conditions.empty()) {
        problem = "give at least one --condition NAME with its --data and --interval (or --protocol)";
        return false;
    }
    if (!plan.hasOut) {
        problem = "give --out PREFIX: the path and name prefix of the results";
        return false;
    }
    bool anyManual = false;
    bool anyProtocol = false;
    bool anyPair = false;
    bool anySingle = false;
    for (const ConditionEntry& condition : plan.conditions) {
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
    plan.manualIntervals = anyManual;
    plan.sourceTargetPairs = anyPair;
    return true;
}

// The number of --protocol-condition in the entry's protocol (by name first,
// then as a number), read from the protocol file.
bool protocolConditionNumber(const DataEntry& entry, int32_t& number, std::string& problem) {
    Protocol protocol;
    std::string detail;
    if (!loadProtocolFile(entry.protocol, protocol, detail)) {
        problem = "--protocol: " + detail;
        return false;
    }
    number = 0;
    for (std::size_t i = 0; i < protocol.conditions.size() && number == 0; ++i) {
        if (protocol.conditions[i].name == entry.protocolCondition) number = static_cast<int32_t>(i + 1);
    }
    if (number != 0) return true;
    int32_t given = 0;
    if (parseInt32(entry.protocolCondition, given) && given >= 1 &&
        static_cast<std::size_t>(given) <= protocol.conditions.size()) {
        number = given;
        return true;
    }
    std::string names;
    for (const ProtocolCondition& c : protocol.conditions) names += (names.empty() ? "" : ", ") + quoteText(c.name);
    problem = "--protocol-condition " + quoteText(entry.protocolCondition) + ": the protocol " + entry.protocol +
              " has no condition of that name or number (its conditions are " +
              (names.empty() ? std::string("none") : names) + ")";
    return false;
}

// Appends the answers, each marked with the dialog it must meet and the
// option it came from, so that a mismatch names the option.
class AnswerList {
public:
    explicit AnswerList(std::vector<AnswerLine>& answers) : answers_(answers) {}

    void add(std::string text, DialogKind kind, std::string purpose) {
        AnswerLine line;
        line.line = static_cast<int>(answers_.size() + 1);
        line.text = std::move(text);
        line.kindKnown = true;
        line.expectedKind = kind;
        line.purpose = std::move(purpose);
        answers_.push_back(std::move(line));
    }

private:
    std::vector<AnswerLine>& answers_;
};

// The VOI menu: the chosen numbers and the end of the list, or the "all" entry.
void writeVoiAnswers(const ShorthandPlan& plan, int32_t voiCount, AnswerList& answers) {
    if (plan.allVois || plan.voiNumbers.empty()) {
        answers.add(std::to_string(voiCount + 1), DialogKind::Integer, "--select-voi all");
        return;
    }
    for (int32_t number : plan.voiNumbers)
        answers.add(std::to_string(number), DialogKind::Integer, "--select-voi " + std::to_string(number));
    answers.add("0", DialogKind::Integer, "the end of the --select-voi list");
}

// One VTC (or pair) of a condition and its intervals. False when its protocol
// cannot be read or has no such condition.
bool writeDataAnswers(const DataEntry& entry, bool sourceTargetPairs, AnswerList& answers, std::string& problem) {
    answers.add(entry.source, DialogKind::OpenFile, entry.label);
    if (sourceTargetPairs) answers.add(entry.target, DialogKind::OpenFile, entry.label + " (target)");
    if (entry.manual) {
        answers.add(std::to_string(entry.first), DialogKind::Integer, "the first volume of --interval");
        answers.add(std::to_string(entry.last), DialogKind::Integer, "the last volume of --interval");
        return true;
    }
    answers.add(entry.protocol, DialogKind::OpenFile, "--protocol " + entry.protocol);
    int32_t number = 0;
    if (!protocolConditionNumber(entry, number, problem)) return false;
    answers.add(std::to_string(number), DialogKind::Integer, "--protocol-condition " + entry.protocolCondition);
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
    ShorthandPlan plan;
    for (const ShorthandItem& item : items)
        if (!readItem(item, vois, plan, problem)) return false;
    if (!checkComplete(plan, problem)) return false;

    // The answers, in the order the plug-in asks its dialogs.
    AnswerList list(answers);
    writeVoiAnswers(plan, static_cast<int32_t>(vois.vois.size()), list);
    list.add(plan.manualIntervals ? "1" : "2", DialogKind::Integer,
             plan.manualIntervals ? "--interval (manual intervals)" : "--protocol (intervals from a protocol)");
    for (const ConditionEntry& condition : plan.conditions) {
        list.add(condition.name, DialogKind::Text, "--condition " + condition.name);
        for (const DataEntry& entry : condition.data)
            if (!writeDataAnswers(entry, plan.sourceTargetPairs, list, problem)) return false;
        list.add("<cancel>", DialogKind::OpenFile, "the end of the --data list of " + condition.name);
    }
    list.add("", DialogKind::Text, "the end of the --condition list");
    list.add(plan.out, DialogKind::SaveFile, "--out " + plan.out);
    return true;
}

}  // namespace ldi
