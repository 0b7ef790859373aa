// The status every operation of a run returns. The first status other than
// statusSuccess ends the run, without retry or rollback.
#pragma once

namespace ldi {

constexpr int statusCancelled = 0;       // the user cancelled a dialog
constexpr int statusSuccess = 1;
constexpr int statusInvalidChoices = 2;  // the user's choices cannot be computed
constexpr int statusTerminalError = 3;   // a file or a host resource cannot be used

}  // namespace ldi
