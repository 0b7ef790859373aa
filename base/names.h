// The names and labels users give (a seed's name, a trial type, a confounds
// column) as text: they are shown in reports and recorded in JSON beside
// every map, so they are checked where they are read.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ldi {

// The longest name or label taken as it stands: a name of kilobytes would
// swell every report and sidecar that shows it.
constexpr std::size_t MAX_NAME_BYTES = 256;

// What is wrong with a name or label from the user: "" when it is valid UTF-8
// of 1 to `maxBytes` bytes without control bytes, else the reason ("is not
// UTF-8 text (byte 0xE9 at 4)"), for a message that names where it came from.
// Checked where names are read, so that no run stops after its maps because
// a report or index cannot hold them.
std::string nameProblem(std::string_view name, std::size_t maxBytes = MAX_NAME_BYTES);

// Length of the valid UTF-8 character that starts at text[at], or 0 when the
// bytes there are not one (overlong forms, surrogates and values past
// U+10FFFF included).
std::size_t utf8CharacterLength(std::string_view text, std::size_t at);

}  // namespace ldi
