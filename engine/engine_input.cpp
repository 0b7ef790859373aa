#include "engine/engine_input.h"

namespace ldi {

VoiTimeCourse* referenceOf(const EngineSeed& seed, int32_t source) {
    if (source < 0 || static_cast<std::size_t>(source) >= seed.references.size()) return nullptr;
    return seed.references[static_cast<std::size_t>(source)];
}

}  // namespace ldi
