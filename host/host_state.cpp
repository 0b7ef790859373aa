#include "host/host_state.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "data/vtc_file.h"
#include "formats/whole_file.h"

namespace ldi {

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

HostState& hostState() {
    static HostState state;
    return state;
}

bool readLinkedVtc(const std::string& path, LinkedVtc& vtc, std::string& problem) {
    if (path.size() + 1 > SY_PATH_CAPACITY) {
        problem = "the VTC path is longer than " + std::to_string(SY_PATH_CAPACITY - 1) + " bytes";
        return false;
    }
    if (std::filesystem::is_directory(path)) {
        problem = "cannot read the VTC file " + path + ": it is a folder";
        return false;
    }
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        problem = "cannot open the VTC file " + path + ": " + std::strerror(errno);
        return false;
    }
    VtcHeader header;
    if (!readVtcHeader(file.get(), header)) {
        problem = "cannot read the VTC file " + path +
                  ": its header is not a VTC header of version 2 or later (see `ldi info " + path +
                  "`)";
        return false;
    }
    vtc = LinkedVtc();
    vtc.path = path;
    vtc.tr = header.tr;
    vtc.numVolumes = header.numVolumes;
    vtc.resolution = header.resolution;
    vtc.xStart = header.xStart;
    vtc.xEnd = header.xEnd;
    vtc.yStart = header.yStart;
    vtc.yEnd = header.yEnd;
    vtc.zStart = header.zStart;
    vtc.zEnd = header.zEnd;
    vtc.protocolPath = header.protocolName;
    return true;
}

bool loadProtocolFile(const std::string& path, Protocol& protocol, std::string& problem) {
    std::string content;
    if (!readWholeFile(path, content, problem)) return false;
    Parsed<Protocol> parsed = parseProtocol(content);
    if (!parsed.ok) {
        problem = path + ":" + std::to_string(parsed.line) + ": " + parsed.message;
        return false;
    }
    protocol = std::move(parsed.value);
    return true;
}

}  // namespace ldi
