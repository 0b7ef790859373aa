// The SHA-256 of a file, as the provenance of the maps records every input:
// a reviewer can tell whether the file at hand is the one that was analysed.
#pragma once

#include <atomic>
#include <string>

namespace ldi {

// Lower-case hexadecimal SHA-256 of the file's bytes; false with a message
// naming the file when it cannot be read, or when `stop` is set before the
// end (a checksum made beside other work that ended first).
bool fileSha256(const std::string& path, std::string& hex, std::string& problem,
                const std::atomic<bool>* stop = nullptr);

// The same of bytes held in memory.
std::string bytesSha256(const std::string& bytes);

}  // namespace ldi
