// A drawn picture as PNG bytes.
#pragma once

#include <string>

namespace ldi {

// Encodes cairo's RGB24 pixels (each a 32-bit 0x00RRGGBB in the machine's byte
// order, rows `stride` bytes apart) as an 8-bit RGB PNG, replacing `png`.
// False with `problem` set when it cannot be done.
bool encodeRgb24Png(const unsigned char* pixels, int width, int height, int stride, std::string& png,
                    std::string& problem);

}  // namespace ldi
