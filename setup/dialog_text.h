// Small helpers shared by the set-up dialogs: reading texts out of host
// buffers and forming the texts the dialogs show or log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace ldi {

// The text in a buffer the host filled. The host promises to terminate it,
// but a buffer that comes back unterminated must not be read past its end.
template <std::size_t Capacity>
std::string hostText(const char (&buffer)[Capacity]) {
    const void* end = std::memchr(buffer, '\0', Capacity);
    const std::size_t length =
        end ? static_cast<std::size_t>(static_cast<const char*>(end) - buffer) : Capacity;
    return std::string(buffer, length);
}

// Copies a text into a fixed host record field, cut to fit and terminated.
template <std::size_t Capacity>
void copyToHostField(char (&field)[Capacity], const std::string& text) {
    const std::size_t length = text.size() < Capacity - 1 ? text.size() : Capacity - 1;
    std::memcpy(field, text.data(), length);
    field[length] = '\0';
}

// One menu line: "<number>. <text><br>".
inline std::string menuLine(int number, const std::string& text) {
    return std::to_string(number) + ". " + text + "<br>";
}

// The echo line of one interval: two tabs, first, a tab-framed dash, last.
inline std::string intervalEchoLine(int32_t first, int32_t last) {
    return "\t\t" + std::to_string(first) + "\t-\t" + std::to_string(last);
}

// An interval covers last - first + 1 volumes and is long enough when that
// exceeds the AR order. Computed wide so extreme volume numbers cannot wrap.
inline bool intervalLongEnough(int32_t first, int32_t last, int arOrder) {
    return static_cast<int64_t>(last) - static_cast<int64_t>(first) + 1 > arOrder;
}

// The "Invalid selection" message box text with its explanation.
inline std::string invalidSelection(const std::string& explanation) {
    return "<b>Invalid selection</b><br>" + explanation;
}

}  // namespace ldi
