// A property the fuzzed reader must keep. A broken property aborts, so that
// libFuzzer records the input as a finding just like a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace ldi {

#define FUZZ_CHECK(condition)                                                              \
    do {                                                                                   \
        if (!(condition)) {                                                                \
            std::fprintf(stderr, "property broken: %s (%s:%d)\n", #condition, __FILE__, __LINE__); \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

}  // namespace ldi
