// Any byte sequence as a VOI file: a list whose VOIs all have a usable name
// and at least one voxel, or a message tied to a line of the file. The VOIs
// of an accepted list are then averaged over a small VTC, as the run builds
// its reference time courses, in the coordinate convention the file gives:
// coordinates anywhere in the int32 range must land inside or outside the
// grid without overflowing.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "data/voi_time_course.h"
#include "data/vtc_file.h"
#include "fuzz_check.h"
#include "formats/voi_file.h"
#include "base/host_api.h"
#include "stats/matrix.h"

using namespace ldi;

namespace {

// A version 3 float VTC: box 57..69 x 52..61 x 59..65 at resolution 3 (a
// 4 x 3 x 2 grid), 3 volumes, every value 1000 + its index.
std::string smallVtc() {
    std::string bytes;
    auto int16 = [&bytes](int value) {
        bytes.push_back(static_cast<char>(value & 0xFF));
        bytes.push_back(static_cast<char>((value >> 8) & 0xFF));
    };
    int16(3);
    bytes += std::string("s.fmr", 6);
    int16(1);
    bytes += std::string("p.prt", 6);
    int16(0);
    int16(2);
    for (int value : {3, 3, 57, 69, 52, 61, 59, 65}) int16(value);
    bytes += std::string(2, '\0');
    const float tr = 2000.0f;
    bytes.append(reinterpret_cast<const char*>(&tr), 4);
    for (int i = 0; i < 4 * 3 * 2 * 3; ++i) {
        const float value = 1000.0f + static_cast<float>(i);
        bytes.append(reinterpret_cast<const char*>(&value), 4);
    }
    return bytes;
}

void averageOverVtc(const ldi::VoiList& list) {
    static std::string vtc = smallVtc();
    std::FILE* file = fmemopen(vtc.data(), vtc.size(), "rb");
    if (file == nullptr) return;
    VtcHandle handle(file);
    VtcHeader header;
    FUZZ_CHECK(readVtcHeader(file, header));
    for (const ldi::VoiDefinition& voi : list.vois) {
        const int32_t count = voi.voxelCount();
        std::vector<int32_t> scratch(static_cast<std::size_t>(count) * 3);
        Matrix output(1, header.numVolumes, 1, 1);
        const VoiMeanResult result = readVoiMeanTimeCourse(file, header, voi.voxels.data(), count,
                                                           list.coordsConvention, output, 1, scratch.data());
        FUZZ_CHECK(result.ok);
        FUZZ_CHECK(result.voxelsInside + result.voxelsOutside == count);
        if (result.voxelsInside > 0) {
            for (int32_t t = 1; t <= header.numVolumes; ++t)
                FUZZ_CHECK(output(1, t) >= 1000.0f && output(1, t) < 1072.0f);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const ldi::Parsed<ldi::VoiList> parsed = ldi::parseVoiList(text);
    const int lineCount = static_cast<int>(ldi::splitLines(text).size());
    if (!parsed.ok) {
        FUZZ_CHECK(!parsed.message.empty());
        FUZZ_CHECK(parsed.line >= 0 && parsed.line <= lineCount);
        return 0;
    }
    const ldi::VoiList& list = parsed.value;
    FUZZ_CHECK(list.coordsConvention == 0 || list.coordsConvention == 1);
    for (const ldi::VoiDefinition& voi : list.vois) {
        FUZZ_CHECK(!voi.name.empty() && voi.name.size() < SY_NAME_CAPACITY);
        FUZZ_CHECK(voi.name.find('\0') == std::string::npos);
        FUZZ_CHECK(voi.voxelCount() >= 1 && voi.voxels.size() % 3 == 0);
    }
    averageOverVtc(list);
    return 0;
}
