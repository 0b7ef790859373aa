// A file read front to back once, as plain bytes or, when it starts with the
// gzip magic, inflated on the fly (isa-l's igzip: several times faster than
// zlib on the large images of fMRI runs). Nothing of the file is held beyond
// one input buffer, so a run of any size streams through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ldi {

class CompressedInput {
public:
    CompressedInput();
    ~CompressedInput();
    CompressedInput(const CompressedInput&) = delete;
    CompressedInput& operator=(const CompressedInput&) = delete;
    // A file being read changes hands where it stands (the moved-from one is
    // closed, to be destroyed).
    CompressedInput(CompressedInput&& other) noexcept;
    CompressedInput& operator=(CompressedInput&& other) noexcept;

    // Opens `path`; false with a message naming it.
    bool open(const std::string& path, std::string& problem);
    bool compressed() const { return compressed_; }
    // Exactly `size` bytes into `out`; false with a message naming the file
    // when the data end early or the compressed data are damaged.
    bool read(void* out, std::size_t size, std::string& problem);
    // Reads to the end of the compressed data, so that their checksum is
    // checked: the last of the data may be read before a damage shows. True
    // for plain files.
    bool finish(std::string& problem);
    // Reads and drops `size` bytes.
    bool skip(uint64_t size, std::string& problem);
    // Bytes of the file as stored (compressed size for gzip files).
    uint64_t storedSize() const { return storedSize_; }

private:
    bool fill(std::string& problem);
    std::size_t inflateInto(unsigned char* out, std::size_t size, std::string& problem);

    struct State;
    std::unique_ptr<State> state_;
    std::string path_;
    int fd_ = -1;
    bool compressed_ = false;
    bool endOfFile_ = false;
    bool streamEnded_ = false;
    uint64_t storedSize_ = 0;
    std::string damage_;  // the damage found in the compressed data, told by every later read
    std::vector<unsigned char> buffer_;
    std::size_t bufferStart_ = 0;
    std::size_t bufferEnd_ = 0;
};

}  // namespace ldi
