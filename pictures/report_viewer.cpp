#include "pictures/report_viewer.h"

namespace ldi {

#if defined(LDI_NIIVUE_BUNDLE)
// The file goes into the binary as it is: 3 MB of string literal would cost
// the compiler far more than the assembler's .incbin.
#define LDI_STRINGIFY(x) #x
#define LDI_QUOTED(x) LDI_STRINGIFY(x)
asm(".section .rodata\n"
    ".balign 16\n"
    "ldi_niivue_bundle_start:\n"
    ".incbin \"" LDI_QUOTED(LDI_NIIVUE_BUNDLE) "\"\n"
    "ldi_niivue_bundle_end:\n"
    ".previous\n");
extern "C" const char ldi_niivue_bundle_start[];
extern "C" const char ldi_niivue_bundle_end[];

std::string_view niivueBundle() {
    return std::string_view(ldi_niivue_bundle_start,
                            static_cast<std::size_t>(ldi_niivue_bundle_end - ldi_niivue_bundle_start));
}
#else
std::string_view niivueBundle() { return std::string_view(); }
#endif

}  // namespace ldi
