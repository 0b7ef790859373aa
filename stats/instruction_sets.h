// Functions compiled for an instruction set the build does not assume, to be
// called only after the processor is found to have it (__builtin_cpu_supports):
// LDI_TARGET_PUSH("avx2") before them, LDI_TARGET_POP after, on GCC and clang.
#pragma once

#define LDI_PRAGMA(text) _Pragma(#text)

#if defined(__clang__)
#define LDI_TARGET_PUSH(isa) LDI_PRAGMA(clang attribute push(__attribute__((target(isa))), apply_to = function))
#define LDI_TARGET_POP LDI_PRAGMA(clang attribute pop)
#else
#define LDI_TARGET_PUSH(isa) LDI_PRAGMA(GCC push_options) LDI_PRAGMA(GCC target(isa))
#define LDI_TARGET_POP LDI_PRAGMA(GCC pop_options)
#endif
