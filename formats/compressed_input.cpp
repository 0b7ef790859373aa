#include "formats/compressed_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include <isa-l/igzip_lib.h>

namespace ldi {

struct CompressedInput::State {
    inflate_state inflate;
};

namespace {

constexpr std::size_t kInputBufferBytes = std::size_t{1} << 20;

}  // namespace

CompressedInput::CompressedInput() : state_(std::make_unique<State>()) {}

CompressedInput::~CompressedInput() {
    if (fd_ >= 0) ::close(fd_);
}

// The inflater's state stays where it is (behind its pointer), so the input
// buffer it points into moves with it untouched.
CompressedInput::CompressedInput(CompressedInput&& other) noexcept
    : state_(std::move(other.state_)),
      path_(std::move(other.path_)),
      fd_(std::exchange(other.fd_, -1)),
      compressed_(other.compressed_),
      endOfFile_(other.endOfFile_),
      streamEnded_(other.streamEnded_),
      storedSize_(other.storedSize_),
      damage_(std::move(other.damage_)),
      buffer_(std::move(other.buffer_)),
      bufferStart_(other.bufferStart_),
      bufferEnd_(other.bufferEnd_) {}

CompressedInput& CompressedInput::operator=(CompressedInput&& other) noexcept {
    if (this == &other) return *this;
    if (fd_ >= 0) ::close(fd_);
    state_ = std::move(other.state_);
    path_ = std::move(other.path_);
    fd_ = std::exchange(other.fd_, -1);
    compressed_ = other.compressed_;
    endOfFile_ = other.endOfFile_;
    streamEnded_ = other.streamEnded_;
    storedSize_ = other.storedSize_;
    damage_ = std::move(other.damage_);
    buffer_ = std::move(other.buffer_);
    bufferStart_ = other.bufferStart_;
    bufferEnd_ = other.bufferEnd_;
    return *this;
}

bool CompressedInput::open(const std::string& path, std::string& problem) {
    path_ = path;
    // Without O_NONBLOCK a FIFO would block the open until a writer came.
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0) {
        problem = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
        problem = path + " is not a regular file";
        return false;
    }
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    storedSize_ = static_cast<uint64_t>(info.st_size);
    buffer_.resize(kInputBufferBytes);
    if (!fill(problem)) return false;
    compressed_ = bufferEnd_ - bufferStart_ >= 2 && buffer_[bufferStart_] == 0x1f && buffer_[bufferStart_ + 1] == 0x8b;
    if (compressed_) {
        isal_inflate_init(&state_->inflate);
        state_->inflate.crc_flag = ISAL_GZIP;
    }
    return true;
}

// Moves what is left to the front and reads more behind it.
bool CompressedInput::fill(std::string& problem) {
    if (bufferStart_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + bufferStart_, bufferEnd_ - bufferStart_);
        bufferEnd_ -= bufferStart_;
        bufferStart_ = 0;
    }
    while (!endOfFile_ && bufferEnd_ < buffer_.size()) {
        const ssize_t got = ::read(fd_, buffer_.data() + bufferEnd_, buffer_.size() - bufferEnd_);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            problem = "cannot read " + path_ + ": " + std::strerror(errno);
            return false;
        }
        if (got == 0) endOfFile_ = true;
        bufferEnd_ += static_cast<std::size_t>(got);
    }
    return true;
}

std::size_t CompressedInput::inflateInto(unsigned char* out, std::size_t size, std::string& problem) {
    inflate_state& s = state_->inflate;
    std::size_t produced = 0;
    while (produced < size) {
        if (streamEnded_) {
            // A file of several gzip members (as pigz and concatenation make
            // them) goes on with the next member; anything else ends the data.
            if (bufferEnd_ - bufferStart_ < 2 && !endOfFile_ && !fill(problem)) return produced;
            if (bufferEnd_ - bufferStart_ >= 2 && buffer_[bufferStart_] == 0x1f && buffer_[bufferStart_ + 1] == 0x8b) {
                isal_inflate_reset(&s);
                s.crc_flag = ISAL_GZIP;
                streamEnded_ = false;
            } else {
                return produced;
            }
        }
        if (bufferStart_ == bufferEnd_) {
            if (endOfFile_) return produced;
            if (!fill(problem)) return produced;
            continue;
        }
        s.next_in = buffer_.data() + bufferStart_;
        s.avail_in = static_cast<uint32_t>(bufferEnd_ - bufferStart_);
        s.next_out = out + produced;
        const std::size_t room = std::min<std::size_t>(size - produced, UINT32_MAX);
        s.avail_out = static_cast<uint32_t>(room);
        const int result = isal_inflate(&s);
        produced += room - s.avail_out;
        bufferStart_ = bufferEnd_ - s.avail_in;
        if (result < 0) {
            // Kept: the checksum is checked after the last byte is handed out,
            // so the damage must still be told by the reads and the finish after it.
            damage_ = path_ + ": the compressed data are damaged (" +
                      (result == ISAL_INCORRECT_CHECKSUM ? std::string("checksum mismatch")
                                                         : "gzip error " + std::to_string(result)) +
                      ")";
            problem = damage_;
            return produced;
        }
        if (s.block_state == ISAL_BLOCK_FINISH) streamEnded_ = true;
    }
    return produced;
}

bool CompressedInput::read(void* out, std::size_t size, std::string& problem) {
    auto* bytes = static_cast<unsigned char*>(out);
    std::size_t done = 0;
    problem.clear();
    if (compressed_) {
        done = inflateInto(bytes, size, problem);
    } else {
        while (done < size) {
            if (bufferStart_ == bufferEnd_) {
                if (endOfFile_ || !fill(problem)) break;
                if (bufferStart_ == bufferEnd_) break;
            }
            const std::size_t take = std::min(size - done, bufferEnd_ - bufferStart_);
            std::memcpy(bytes + done, buffer_.data() + bufferStart_, take);
            bufferStart_ += take;
            done += take;
        }
    }
    if (!damage_.empty()) {
        problem = damage_;
        return false;
    }
    if (done == size) return true;
    if (problem.empty())
        problem = path_ + ": the file ends early (" + (compressed_ ? "truncated compressed data" : "truncated") + ")";
    return false;
}

bool CompressedInput::finish(std::string& problem) {
    if (!compressed_) return true;
    unsigned char scratch[4096];
    problem = damage_;
    if (!problem.empty()) return false;
    while (inflateInto(scratch, sizeof scratch, problem) == sizeof scratch) {
    }
    if (!problem.empty()) return false;
    if (!streamEnded_) {
        problem = path_ + ": the file ends early (truncated compressed data)";
        return false;
    }
    return true;
}

bool CompressedInput::skip(uint64_t size, std::string& problem) {
    unsigned char scratch[4096];
    while (size > 0) {
        const auto take = static_cast<std::size_t>(std::min<uint64_t>(size, sizeof scratch));
        if (!read(scratch, take, problem)) return false;
        size -= take;
    }
    return true;
}

}  // namespace ldi
