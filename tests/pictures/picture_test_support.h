// A PNG a test drew, read back with libpng as RGB, for the pictures' tests.
#pragma once

#include <png.h>

#include <cstddef>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace ldi {

struct Picture {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;

    struct Pixel {
        int r, g, b;
        bool operator==(const Pixel& other) const { return r == other.r && g == other.g && b == other.b; }
    };
    Pixel at(int x, int y) const {
        const std::size_t i = (std::size_t(y) * width + x) * 3;
        return Pixel{rgb[i], rgb[i + 1], rgb[i + 2]};
    }
};

inline std::ostream& operator<<(std::ostream& out, const Picture::Pixel& p) {
    return out << "rgb(" << p.r << ", " << p.g << ", " << p.b << ")";
}

inline bool finishPng(png_image& image, Picture& picture);

inline bool readPng(const std::string& path, Picture& picture) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
    return finishPng(image, picture);
}

// PNG bytes drawn in memory.
inline bool decodePng(const std::string& bytes, Picture& picture) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return false;
    return finishPng(image, picture);
}

inline bool finishPng(png_image& image, Picture& picture) {
    image.format = PNG_FORMAT_RGB;
    picture.width = int(image.width);
    picture.height = int(image.height);
    picture.rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, picture.rgb.data(), 0, nullptr)) {
        png_image_free(&image);
        return false;
    }
    return true;
}

}  // namespace ldi
