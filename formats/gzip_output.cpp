#include "formats/gzip_output.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#if !defined(_WIN32)
// Debian has no Windows build of isa-l: the Windows ldi writes no gzip files.
#include <isa-l/igzip_lib.h>
#endif

namespace ldi {

#if defined(_WIN32)
bool gzipPieces(const std::string_view*, std::size_t, const std::string& what, ByteBuffer&, std::string& problem) {
    problem = "this build of ldi cannot compress " + what;
    return false;
}

bool zlibPieces(const std::string_view*, std::size_t, const std::string& what, ByteBuffer&, std::string& problem) {
    problem = "this build of ldi cannot compress " + what;
    return false;
}
#else
namespace {

// isa-l counts its buffers in 32 bits: larger pieces are fed in steps.
constexpr std::size_t kStepBytes = std::size_t{1} << 30;

uint32_t stepOf(std::size_t bytes) {
    return static_cast<uint32_t>(std::min(bytes, kStepBytes));
}

bool deflatePieces(const std::string_view* pieces, std::size_t count, uint16_t wrapper, const std::string& what,
                   ByteBuffer& packed, std::string& problem) {
    std::size_t total = 0;
    for (std::size_t p = 0; p < count; ++p) total += pieces[p].size();
    // Level 1: ldi's maps are half runs of zeros and half noise, which every
    // level shrinks alike (to about 45 %), and igzip does it about four times
    // faster than libdeflate's fastest level and thirty times faster than
    // zlib's default. Its level buffer is working memory: isa-l gives the same
    // bytes whatever it held before.
    const LargeArray<uint8_t> levelBuffer = makeLargeArray<uint8_t>(ISAL_DEF_LVL1_DEFAULT);
    isal_zstream stream{};
    isal_deflate_init(&stream);
    stream.gzip_flag = wrapper;
    stream.level = 1;
    stream.level_buf = levelBuffer.get();
    stream.level_buf_size = ISAL_DEF_LVL1_DEFAULT;
    stream.flush = NO_FLUSH;
    // Incompressible data grow by a few bytes per 64 KiB block, plus the gzip framing.
    const std::size_t capacity = total + total / 1024 + 1024;
    packed.bytes = makeLargeArray<char>(capacity);
    // Zeroed: the same map must give the same file, and without it a few bytes
    // of the difference maps (inflating to the same values) differed from one
    // run of the same build to the next, with what the memory held before.
    std::memset(packed.bytes.get(), 0, capacity);
    packed.size = 0;
    auto* out = reinterpret_cast<uint8_t*>(packed.bytes.get());
    std::size_t outLeft = capacity;
    const std::size_t steps = std::max<std::size_t>(count, 1);  // no pieces: an empty member
    for (std::size_t p = 0; p < steps; ++p) {
        const bool last = p + 1 == steps;
        auto* in = reinterpret_cast<uint8_t*>(const_cast<char*>(p < count ? pieces[p].data() : nullptr));
        std::size_t inLeft = p < count ? pieces[p].size() : 0;
        // Until the piece is taken in (and, after the last, the stream is
        // finished), as long as every call makes progress.
        while (inLeft > 0 || (last && stream.internal_state.state != ZSTATE_END)) {
            stream.next_in = in;
            stream.avail_in = stepOf(inLeft);
            stream.next_out = out;
            stream.avail_out = stepOf(outLeft);
            stream.end_of_stream = last && stream.avail_in == inLeft ? 1 : 0;
            const uint32_t inBefore = stream.avail_in;
            const uint32_t outBefore = stream.avail_out;
            if (isal_deflate(&stream) != COMP_OK || stream.avail_in + stream.avail_out == inBefore + outBefore) {
                problem = what + " could not be compressed";
                return false;
            }
            in += inBefore - stream.avail_in;
            inLeft -= inBefore - stream.avail_in;
            out += outBefore - stream.avail_out;
            outLeft -= outBefore - stream.avail_out;
        }
    }
    packed.size = capacity - outLeft;
    return true;
}

}  // namespace

bool gzipPieces(const std::string_view* pieces, std::size_t count, const std::string& what, ByteBuffer& packed,
                std::string& problem) {
    return deflatePieces(pieces, count, IGZIP_GZIP, what, packed, problem);
}

bool zlibPieces(const std::string_view* pieces, std::size_t count, const std::string& what, ByteBuffer& packed,
                std::string& problem) {
    return deflatePieces(pieces, count, IGZIP_ZLIB, what, packed, problem);
}
#endif

}  // namespace ldi
