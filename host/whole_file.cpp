#include "host/whole_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace ldi_host {

bool readWholeFile(const std::string& path, std::string& content, std::string& problem,
                   std::uintmax_t maxBytes) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::file_status status = fs::status(path, error);
    if (error || !fs::exists(status)) {
        problem = "cannot open " + path + ": no such file";
        return false;
    }
    if (fs::is_directory(status)) {
        problem = "cannot read " + path + ": it is a folder, not a file";
        return false;
    }
    if (fs::is_regular_file(status)) {
        std::uintmax_t size = fs::file_size(path, error);
        if (!error && size > maxBytes) {
            problem = "cannot read " + path + ": it is " + std::to_string(size) +
                      " bytes long, far larger than a file of this kind";
            return false;
        }
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        problem = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) {
        problem = "cannot read " + path;
        return false;
    }
    content = buffer.str();
    return true;
}

}  // namespace ldi_host
