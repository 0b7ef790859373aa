// Recognises a NIfTI image by its header, so that one given where another
// kind of file is expected is named for what it is.
#pragma once

#include <string>

namespace ldi {

// "NIfTI-1" or "NIfTI-2" when the file (plain or gzip-compressed) starts with
// such a header; empty for anything else, also for a file that cannot be read.
std::string niftiKind(const std::string& path);

// The message for a NIfTI file given as `option`, pointing at the command
// that reads it; empty when the file is not a NIfTI image.
std::string niftiMisplacedMessage(const std::string& option, const std::string& path);

}  // namespace ldi
