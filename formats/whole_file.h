// Reading a whole input file into memory, with the messages every command
// gives when a file is missing, a folder or far too large.
#pragma once

#include <cstdint>
#include <string>

namespace ldi {

// Text inputs (VOI lists, protocols, answers) are small; a larger file is a
// wrong file, not something to load into memory.
constexpr std::uintmax_t MAX_TEXT_FILE_BYTES = std::uintmax_t(64) << 20;

// Reads a whole file into memory; false with a message when it cannot be
// read or is larger than `maxBytes`.
bool readWholeFile(const std::string& path, std::string& content, std::string& problem,
                   std::uintmax_t maxBytes = MAX_TEXT_FILE_BYTES);

// Checks that the folder a file is to be written into (the folder part of
// `path`, or the working folder) exists and can be written into. On failure
// says why, naming the folder.
bool checkFolderForWriting(const std::string& path, std::string& problem);

}  // namespace ldi
