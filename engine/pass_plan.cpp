#include "engine/pass_plan.h"

namespace ldi {

int progressValue(int32_t z, int32_t dimZ) {
    // A grid of one slice has no fraction to show: it reports 0 once.
    if (dimZ <= 1) return 0;
    const int value = static_cast<int>(static_cast<float>(z) / static_cast<float>(dimZ - 1) * 100.0f);
    return value / 10 * 10;
}

void SliceProgress::reportUpTo(int32_t sliceCount) {
    while (reported_ < sliceCount) {
        const int value = progressValue(reported_++, dimZ_);
        if (progress_ == nullptr || value == last_) continue;
        last_ = value;
        EngineProgress event;
        event.stage = EngineProgress::Stage::slices;
        event.seed = seed_;
        event.condition = condition_;
        event.fraction = value / 100.0;
        (*progress_)(event);
    }
}

}  // namespace ldi
