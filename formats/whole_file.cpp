#include "formats/whole_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace ldi {

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

bool checkFolderForWriting(const std::string& path, std::string& problem) {
    namespace fs = std::filesystem;
    fs::path folder = fs::path(path).parent_path();
    if (folder.empty()) folder = ".";
    std::error_code error;
    const fs::file_status status = fs::status(folder, error);
    if (!fs::exists(status)) {
        problem = "the folder " + folder.string() + " does not exist";
        return false;
    }
    if (!fs::is_directory(status)) {
        problem = folder.string() + " is not a folder";
        return false;
    }
#if !defined(_WIN32)  // there only the attempt to create a file tells, and the save reports it
    if (access(folder.c_str(), W_OK | X_OK) != 0) {
        problem = "cannot write into the folder " + folder.string() + ": " + std::strerror(errno);
        return false;
    }
#endif
    return true;
}

}  // namespace ldi
