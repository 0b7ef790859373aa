// The readers of the study path take paths: each input is written to a file
// of its own in a folder of this process, which is removed at exit.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace ldi {

class FuzzFile {
public:
    explicit FuzzFile(const std::string& name) {
        const std::filesystem::path folder =
            std::filesystem::temp_directory_path() / ("ldi-fuzz-" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder);
        path_ = (folder / name).string();
    }
    // The bytes as the file's whole content.
    const std::string& write(const uint8_t* data, std::size_t size) {
        std::FILE* file = std::fopen(path_.c_str(), "wb");
        if (file != nullptr) {
            if (size > 0) std::fwrite(data, 1, size, file);
            std::fclose(file);
        }
        return path_;
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace ldi
