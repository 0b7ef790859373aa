// A stretch of a time course: volume numbers counted from 1, both ends included.
#pragma once

#include <cstdint>

namespace ldi {

struct Interval {
    int32_t first = 0;
    int32_t last = 0;
};

}  // namespace ldi
