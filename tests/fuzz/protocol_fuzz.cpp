// Any byte sequence as a stimulation protocol: a protocol whose conditions
// hold one end per start and a name the host records can carry, or a message
// tied to a line of the file.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "formats/protocol_file.h"
#include "base/host_api.h"

using namespace ldi;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const ldi::Parsed<ldi::Protocol> parsed = ldi::parseProtocol(text);
    const int lineCount = static_cast<int>(ldi::splitLines(text).size());
    if (!parsed.ok) {
        FUZZ_CHECK(!parsed.message.empty());
        FUZZ_CHECK(parsed.line >= 0 && parsed.line <= lineCount);
        return 0;
    }
    const ldi::Protocol& protocol = parsed.value;
    FUZZ_CHECK(protocol.timeResolution == 1 || protocol.timeResolution == 2);
    for (const ldi::ProtocolCondition& condition : protocol.conditions) {
        FUZZ_CHECK(!condition.name.empty() && condition.name.size() < SY_NAME_CAPACITY);
        FUZZ_CHECK(condition.name.find('\0') == std::string::npos);
        FUZZ_CHECK(condition.starts.size() == condition.ends.size());
    }
    return 0;
}
