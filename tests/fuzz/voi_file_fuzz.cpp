// Any byte sequence as a VOI file: a list whose VOIs all have a usable name
// and at least one voxel, or a message tied to a line of the file.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "host/voi_file.h"
#include "plugin/host_api.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const ldi_host::Parsed<ldi_host::VoiList> parsed = ldi_host::parseVoiList(text);
    const int lineCount = static_cast<int>(ldi_host::splitLines(text).size());
    if (!parsed.ok) {
        FUZZ_CHECK(!parsed.message.empty());
        FUZZ_CHECK(parsed.line >= 0 && parsed.line <= lineCount);
        return 0;
    }
    const ldi_host::VoiList& list = parsed.value;
    FUZZ_CHECK(list.coordsConvention == 0 || list.coordsConvention == 1);
    for (const ldi_host::VoiDefinition& voi : list.vois) {
        FUZZ_CHECK(!voi.name.empty() && voi.name.size() < SY_NAME_CAPACITY);
        FUZZ_CHECK(voi.name.find('\0') == std::string::npos);
        FUZZ_CHECK(voi.voxelCount() >= 1 && voi.voxels.size() % 3 == 0);
    }
    return 0;
}
