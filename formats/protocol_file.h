// The stimulation protocol text format, read when a protocol is linked to the
// current VTC.
//
//   FileVersion: 2               (header lines "Key: value"; others ignored)
//   ResolutionOfTime: Volumes    (or msec; case-insensitive)
//   NrOfConditions: 2
//   Rest                         (per condition: its name,
//   2                            the number of intervals k,
//   1 10                         k lines "start end",
//   21 30
//   Color: 128 128 128           and an optional colour line)
//   Task
//   ...
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "formats/text_util.h"

namespace ldi {

struct ProtocolCondition {
    std::string name;
    std::vector<int32_t> starts;
    std::vector<int32_t> ends;
    bool hasColour = false;
    int32_t colour[3] = {0, 0, 0};
};

struct Protocol {
    int32_t timeResolution = 1;  // 1: volumes, 2: milliseconds
    std::vector<ProtocolCondition> conditions;
};

// Parses the whole content of a protocol file. Any byte sequence gives either
// a protocol or a message with the line number.
Parsed<Protocol> parseProtocol(std::string_view text);

}  // namespace ldi
