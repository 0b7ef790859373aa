// The pictures' PNG framing and image data are ldi's own: libpng, an
// independent reader that checks every chunk's CRC and the zlib stream's
// checksum, must read back exactly the pixels cairo drew, whatever the
// picture's size, its row padding or the unused byte of each pixel.
#include <gtest/gtest.h>

#include <png.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "pictures/png_encoding.h"

using namespace ldi;

namespace {

struct Decoded {
    bool ok = false;
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;
};

Decoded decode(const std::string& png) {
    Decoded result;
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) return result;
    image.format = PNG_FORMAT_RGB;
    result.width = int(image.width);
    result.height = int(image.height);
    result.rgb.resize(PNG_IMAGE_SIZE(image));
    result.ok = png_image_finish_read(&image, nullptr, result.rgb.data(), 0, nullptr) != 0;
    if (!result.ok) png_image_free(&image);
    return result;
}

// Pixels as cairo lays out RGB24: 0x00RRGGBB words in the machine's order,
// here with noise in the unused byte and in the padding after each row.
struct Surface {
    int width, height, stride;
    std::vector<unsigned char> bytes;
    std::vector<unsigned char> rgb;  // what the picture shows
};

Surface randomSurface(int width, int height, int padding, uint32_t seed, bool flatAreas) {
    std::mt19937 random(seed);
    Surface s{width, height, 4 * width + padding, {}, {}};
    s.bytes.resize(std::size_t(s.stride) * height);
    for (unsigned char& b : s.bytes) b = static_cast<unsigned char>(random());
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint32_t rgb = random() & 0xFFFFFFu;
            if (flatAreas && (x / 7 + y / 5) % 3 != 0) rgb = 0x102030u;  // runs for the deflater to find
            const uint32_t word = rgb | (random() & 0xFF000000u);
            std::memcpy(&s.bytes[std::size_t(y) * s.stride + 4 * x], &word, 4);
            s.rgb.push_back(static_cast<unsigned char>(rgb >> 16));
            s.rgb.push_back(static_cast<unsigned char>(rgb >> 8));
            s.rgb.push_back(static_cast<unsigned char>(rgb));
        }
    return s;
}

}  // namespace

TEST(PngEncoding, LibpngReadsBackEveryPixelWhateverTheSizeAndPadding) {
    struct Case {
        int width, height, padding;
        bool flat;
    };
    // One pixel; odd sizes; padding as cairo leaves it; a picture whose image
    // data span several deflate blocks, noisy (stored) and flat (compressed).
    for (const Case c : {Case{1, 1, 0, false}, Case{3, 7, 4, true}, Case{37, 11, 12, false},
                         Case{734, 502, 8, true}, Case{300, 260, 0, false}}) {
        const Surface s = randomSurface(c.width, c.height, c.padding, uint32_t(c.width * 31 + c.height), c.flat);
        std::string png = "stale bytes of an earlier picture";
        std::string problem;
        ASSERT_TRUE(encodeRgb24Png(s.bytes.data(), s.width, s.height, s.stride, png, problem)) << problem;
        const Decoded d = decode(png);
        ASSERT_TRUE(d.ok) << c.width << " x " << c.height;
        EXPECT_EQ(d.width, c.width);
        EXPECT_EQ(d.height, c.height);
        EXPECT_TRUE(d.rgb == s.rgb) << c.width << " x " << c.height << ": the pixels differ";
    }
}

TEST(PngEncoding, FlatPicturesArePackedAndDamageIsDetectedByReaders) {
    const Surface s = randomSurface(480, 354, 0, 7, true);
    std::string png, problem;
    ASSERT_TRUE(encodeRgb24Png(s.bytes.data(), s.width, s.height, s.stride, png, problem)) << problem;
    // Two thirds flat: the image data must be compressed, not stored.
    EXPECT_LT(png.size(), s.rgb.size() / 2);
    // A flipped bit in the image data fails the chunk's CRC, so the CRCs
    // cover what they should (libpng refuses a damaged critical chunk).
    std::string damaged = png;
    damaged[damaged.size() / 2] = static_cast<char>(damaged[damaged.size() / 2] ^ 0x10);
    EXPECT_FALSE(decode(damaged).ok);
}

TEST(PngEncoding, RefusesEmptyOrInconsistentSizes) {
    const unsigned char pixel[4] = {1, 2, 3, 0};
    std::string png, problem;
    EXPECT_FALSE(encodeRgb24Png(pixel, 0, 1, 4, png, problem));
    EXPECT_NE(problem.find("0 x 1"), std::string::npos) << problem;
    EXPECT_FALSE(encodeRgb24Png(pixel, 2, 1, 4, png, problem));  // a row shorter than its pixels
}
