#include "output/pass_record.h"

#include <cstddef>

namespace ldi {

namespace {

struct RecordedMap {
    bool known = false;
    bool searched = false;
    std::vector<int64_t> passing;
};

// One host thread runs the plug-in, so a plain process-wide record serves.
std::vector<RecordedMap>& record() {
    static std::vector<RecordedMap> maps;
    return maps;
}

}  // namespace

void clearPassRecord() { record().clear(); }

void recordPassing(int32_t mapIndex, const std::vector<int64_t>& passing) {
    if (mapIndex < 0) return;
    std::vector<RecordedMap>& maps = record();
    const auto index = static_cast<std::size_t>(mapIndex);
    if (maps.size() <= index) maps.resize(index + 1);
    maps[index].known = true;
    maps[index].searched = !passing.empty();
    maps[index].passing = passing;
}

int64_t passingVoxels(int32_t mapIndex, int32_t level) {
    const std::vector<RecordedMap>& maps = record();
    if (mapIndex < 0 || static_cast<std::size_t>(mapIndex) >= maps.size()) return -1;
    const RecordedMap& map = maps[static_cast<std::size_t>(mapIndex)];
    if (!map.known) return -1;
    if (!map.searched) return -2;
    if (level < 0 || static_cast<std::size_t>(level) >= map.passing.size()) return -1;
    return map.passing[static_cast<std::size_t>(level)];
}

}  // namespace ldi
