// Exit statuses of `ldi`.
#pragma once

namespace ldi {

constexpr int EXIT_RUN_SUCCEEDED = 0;
constexpr int EXIT_RUN_FAILED = 1;  // execute returned false, or results could not be saved
constexpr int EXIT_USAGE = 2;       // bad options or inputs, or a plug-in that could not start

}  // namespace ldi
