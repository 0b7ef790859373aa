// Compressed files that ldi writes: the maps of every front end as gzip
// members, made with isa-l's igzip (see docs/performance.md, "Saving the
// results"), readable by any gzip reader (zlib, nibabel, gzip itself); and
// the image data of the pictures, as zlib streams.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "stats/large_buffer.h"

namespace ldi {

// Bytes made for one file, in a buffer that is not zero-filled first.
struct ByteBuffer {
    LargeArray<char> bytes;
    std::size_t size = 0;
    std::string_view view() const { return {bytes.get(), size}; }
};

// The pieces, one after the other, as one gzip member at igzip's level 1,
// compressed from where they lie (nothing is copied into one buffer first).
// False with a message naming `what` ("the image") when it cannot be done.
bool gzipPieces(const std::string_view* pieces, std::size_t count, const std::string& what, ByteBuffer& packed,
                std::string& problem);

// The same as one zlib stream (RFC 1950), the form of a PNG's image data.
bool zlibPieces(const std::string_view* pieces, std::size_t count, const std::string& what, ByteBuffer& packed,
                std::string& problem);

}  // namespace ldi
