#include "formats/file_checksum.h"

#include <openssl/evp.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace ldi {

namespace {

struct DigestFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
struct FileClose {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

std::string hexOf(const unsigned char* digest, unsigned length) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned i = 0; i < length; ++i) {
        hex += digits[digest[i] >> 4];
        hex += digits[digest[i] & 15];
    }
    return hex;
}

// The file opened for reading when it is a regular file. A FIFO would block
// the open until a writer came, and a device need not end: neither is read.
std::FILE* openRegularFile(const std::string& path, std::string& problem) {
#ifndef _WIN32
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat info {};
    if (fd >= 0 && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        ::close(fd);
        problem = "cannot make the checksum of " + path + ": not a regular file";
        return nullptr;
    }
    std::FILE* file = fd >= 0 ? ::fdopen(fd, "rb") : nullptr;
    if (fd >= 0 && file == nullptr) ::close(fd);
#else
    std::FILE* file = std::fopen(path.c_str(), "rb");
#endif
    if (file == nullptr) problem = "cannot read " + path + " for its checksum: " + std::strerror(errno);
    return file;
}

}  // namespace

bool fileSha256(const std::string& path, std::string& hex, std::string& problem, const std::atomic<bool>* stop) {
    const std::unique_ptr<std::FILE, FileClose> file(openRegularFile(path, problem));
    if (!file) return false;
    const std::unique_ptr<EVP_MD_CTX, DigestFree> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        problem = "no memory for the checksum of " + path;
        return false;
    }
    std::vector<unsigned char> block(1 << 20);
    std::size_t got = 0;
    while ((got = std::fread(block.data(), 1, block.size(), file.get())) > 0) {
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
            problem = "the checksum of " + path + " was stopped";
            return false;
        }
        EVP_DigestUpdate(context.get(), block.data(), got);
    }
    if (std::ferror(file.get()) != 0) {
        problem = "cannot read " + path + " for its checksum: " + std::strerror(errno);
        return false;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_DigestFinal_ex(context.get(), digest, &length);
    hex = hexOf(digest, length);
    return true;
}

std::string bytesSha256(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    return hexOf(digest, length);
}

}  // namespace ldi
