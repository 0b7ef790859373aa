// What a gzip member holds, inflated by zlib (the inflater of nibabel and of
// most readers), independently of isa-l, which ldi compresses and reads with.
#pragma once

#include <zlib.h>

#include <string>
#include <string_view>

namespace ldi {

// One gzip member into `bytes`, its CRC-32 and length checked, nothing after
// it; false when the data are not that.
inline bool inflateWithZlib(std::string_view packed, std::string& bytes) {
    z_stream stream{};
    if (inflateInit2(&stream, 15 + 16) != Z_OK) return false;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
    stream.avail_in = static_cast<uInt>(packed.size());
    bytes.clear();
    char chunk[1 << 16];
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(chunk);
        stream.avail_out = sizeof chunk;
        result = inflate(&stream, Z_NO_FLUSH);
        bytes.append(chunk, sizeof chunk - stream.avail_out);
    }
    const bool whole = result == Z_STREAM_END && stream.avail_in == 0;
    inflateEnd(&stream);
    return whole;
}

}  // namespace ldi
