// The shorthand options of `ldi run`, which write the answers for the common
// set-up: --select-voi (repeatable), then per condition --condition NAME and
// one or more --data FILE (or SOURCE:TARGET), each followed by --interval
// FIRST-LAST or by --protocol FILE --protocol-condition NAME|NUMBER, and --out.
#pragma once

#include <string>
#include <vector>

#include "host/dialogs.h"
#include "formats/voi_file.h"

namespace ldi {

enum class ShorthandOption { SelectVoi, Condition, Data, Interval, Protocol, ProtocolCondition, Out };

struct ShorthandItem {
    ShorthandOption option;
    std::string value;
};

// The option's name as typed, e.g. "--select-voi".
const char* shorthandOptionName(ShorthandOption option);

// Writes the answers, in dialog order, for the items (in command-line order)
// against the loaded VOI list. Protocol files named by --protocol are read to
// resolve condition names. False with a message on a usage error.
bool buildShorthandAnswers(const std::vector<ShorthandItem>& items, const VoiList& vois,
                           std::vector<AnswerLine>& answers, std::string& problem);

}  // namespace ldi
