#include "host/result_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <system_error>
#include <thread>

#include <nlohmann/json.hpp>

#include "base/text.h"
#include "formats/nifti_map.h"
#include "formats/temporary_files.h"
#include "stats/parallel.h"

namespace ldi {

namespace {

// ---- temporary files in the destination folder --------------------------------

std::string errnoText(int error) {
    return std::strerror(error);
}

#if defined(_WIN32)
// The system calls of the temporary files as Windows's C library names them:
// there is no mkstemps, fsync is _commit, descriptors must be binary, and
// rename refuses to replace a file (MoveFileEx does it in one step).
int createUniqueFile(const std::string& folder, const std::string& suffix, std::string& path) {
    static std::atomic<unsigned> serial{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        char tag[40];
        std::snprintf(tag, sizeof tag, "%llx-%x", static_cast<unsigned long long>(GetTickCount64()),
                      serial.fetch_add(1));
        path = folder + "/" + temporaryPrefix() + tag + suffix;
        const int fd = ::_open(path.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

int writeSome(int fd, const char* data, std::size_t count) {
    const std::size_t chunk = std::size_t{1} << 30;
    return ::_write(fd, data, static_cast<unsigned>(count < chunk ? count : chunk));
}
#endif

// Gives a file another name, replacing a file of that name in one step.
bool moveReplacing(const std::string& from, const std::string& to, std::string& reason) {
#if defined(_WIN32)
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0)
        return true;
    reason = "Windows error " + std::to_string(GetLastError());
    return false;
#else
    if (::rename(from.c_str(), to.c_str()) == 0) return true;
    reason = errnoText(errno);
    return false;
#endif
}

// A file created under a unique temporary name; removed again unless it was
// renamed to its final name.
class TempFile {
public:
    TempFile() = default;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        if (fd_ >= 0) ::close(fd_);
        if (!path_.empty() && !committed_) std::remove(path_.c_str());
        if (registered_ >= 0) unregisterTemporaryFile(registered_);
    }

    bool create(const std::string& folder, const std::string& suffix, std::string& problem) {
#if defined(_WIN32)
        std::string name;
        fd_ = createUniqueFile(folder, suffix, name);
#else
        std::string pattern = folder + "/" + temporaryPrefix() + "XXXXXX" + suffix;
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        fd_ = ::mkstemps(buffer.data(), static_cast<int>(suffix.size()));
        const std::string name = buffer.data();
#endif
        if (fd_ < 0) {
            problem = "cannot create a file in the folder " + folder + ": " + errnoText(errno);
            return false;
        }
        path_ = name;
        registered_ = registerTemporaryFile(path_);
        return true;
    }

    const std::string& path() const { return path_; }

    // Writes the pieces one after the other; finish() then brings the file to
    // the disk.
    bool writeAll(const std::vector<std::string_view>& pieces, const std::string& finalPath, std::string& problem) {
        for (std::string_view piece : pieces) {
            const char* data = piece.data();
            std::size_t left = piece.size();
            while (left > 0) {
#if defined(_WIN32)
                const int written = writeSome(fd_, data, left);
#else
                const ssize_t written = ::write(fd_, data, left);
#endif
                if (written < 0 && errno == EINTR) continue;
                if (written <= 0) {
                    problem = "cannot write " + finalPath + ": " + errnoText(written < 0 ? errno : ENOSPC);
                    return false;
                }
                data += written;
                left -= static_cast<std::size_t>(written);
            }
        }
#if defined(__linux__)
        // Start writing it out now, so that finish() mostly waits for the
        // file system's commit rather than for the data.
        ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
        return true;
    }

    // Flushes the file to the disk and closes it.
    bool finish(const std::string& finalPath, std::string& problem) { return syncAndClose(finalPath, problem); }

    bool commit(const std::string& finalPath, std::string& problem) {
        std::string reason;
        if (!moveReplacing(path_, finalPath, reason)) {
            problem = "cannot rename the finished file to " + finalPath + ": " + reason;
            return false;
        }
        committed_ = true;
        return true;
    }

private:
    bool syncAndClose(const std::string& finalPath, std::string& problem) {
#if defined(_WIN32)
        bool ok = ::_commit(fd_) == 0;
#else
        // Permissions as for any new file of the user (mkstemps gives 0600).
        mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd_, 0666 & ~mask);
        bool ok = ::fsync(fd_) == 0;
#endif
        int error = errno;
        ok = (::close(fd_) == 0) && ok;
        fd_ = -1;
        if (!ok) {
            problem = "cannot write " + finalPath + ": " + errnoText(error);
            return false;
        }
        return true;
    }

    int fd_ = -1;
    std::string path_;
    bool committed_ = false;
    int registered_ = -1;
};

}  // namespace

// ---- the whole save ------------------------------------------------------------

namespace {

// The longest file name the common file systems take, in bytes.
constexpr std::size_t kMaxFileNameBytes = 255;

// Threads that only wait for the disk, at most, in one step of a save.
constexpr int64_t kMostWaitingThreads = 64;

// A NIfTI label cut to `room` bytes: the start of the condition and the end,
// where the map kind is, so that cut names still tell the kinds apart.
// Labels are ASCII (fileLabel), so any byte is a place to cut.
std::string fitLabel(const std::string& label, std::size_t room) {
    constexpr std::size_t kTail = 16;
    if (label.size() <= room) return label;
    if (room <= kTail + 2) return label.substr(label.size() - std::min(room, label.size()));
    return label.substr(0, room - kTail - 1) + "_" + label.substr(label.size() - kTail);
}

// The names a JSON index of an earlier save in this folder lists as its own
// files (plain file names only: a damaged or hostile index names nothing else).
std::vector<std::string> filesOfEarlierIndex(const std::string& jsonPath) {
    std::vector<std::string> names;
    struct stat info {};
    // Only a regular file of a sane size can be an index; anything else names nothing.
    if (::stat(jsonPath.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > (int64_t{64} << 20))
        return names;
    std::string text;
    try {
        std::ifstream in(jsonPath, std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::ios_base::failure&) {
        return names;
    }
    const nlohmann::json index = nlohmann::json::parse(text, nullptr, false);
    if (!index.is_object()) return names;
    const auto plain = [](const nlohmann::json& value) {
        if (!value.is_string()) return std::string();
        const std::string name = value.get<std::string>();
        const bool safe = !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
                          name.find('\\') == std::string::npos && name.find('\0') == std::string::npos;
        return safe ? name : std::string();
    };
    if (index.contains("mapFile")) names.push_back(plain(index["mapFile"]));
    if (index.contains("maps") && index["maps"].is_array())
        for (const nlohmann::json& map : index["maps"])
            if (map.is_object() && map.contains("niftiFile")) names.push_back(plain(map["niftiFile"]));
    names.erase(std::remove(names.begin(), names.end(), std::string()), names.end());
    return names;
}

// One file of a save on its way to its final name. An existing file of that
// name is kept aside (as a second link, or moved) until the whole save has
// succeeded, and put back should any later step fail.
struct Commit {
    TempFile* temp = nullptr;
    std::string finalPath;
    std::string keptPath;  // the earlier file, kept aside ("" when there was none)
    bool keptByLink = false;
    bool done = false;
};

bool keepEarlierFile(Commit& step, const std::string& folder, std::string& problem) {
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::symlink_status(step.finalPath, error);
    if (error || !std::filesystem::exists(status)) return true;  // nothing to keep
    if (std::filesystem::is_directory(status)) {
        problem = "cannot replace " + step.finalPath + ": a folder has that name";
        return false;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string kept = folder + "/" + temporaryPrefix() + "kept-" + std::to_string(attempt) + "-" +
                           std::to_string(static_cast<unsigned long>(std::rand()));
        if (std::filesystem::exists(kept, error)) continue;
#if !defined(_WIN32)
        // A second link keeps the earlier file where it is until the new one replaces it.
        if (::link(step.finalPath.c_str(), kept.c_str()) == 0) {
            step.keptPath = kept;
            step.keptByLink = true;
            return true;
        }
        if (errno == EEXIST) continue;
#endif
        // Without hard links the earlier file is moved aside.
        std::string reason;
        if (moveReplacing(step.finalPath, kept, reason)) {
            step.keptPath = kept;
            return true;
        }
        problem = "cannot keep the earlier " + step.finalPath + " aside: " + reason;
        return false;
    }
    problem = "cannot keep the earlier " + step.finalPath + " aside: no free name";
    return false;
}

// Puts back what the failed save had replaced or moved aside.
void undoCommits(std::vector<Commit>& steps) {
    for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
        if (step->keptPath.empty()) {
            if (step->done) std::remove(step->finalPath.c_str());
            continue;
        }
        std::string reason;
        if (step->done || !step->keptByLink)
            moveReplacing(step->keptPath, step->finalPath, reason);
        else
            std::remove(step->keptPath.c_str());
    }
}

// Where a save's files go and their names, all chosen before anything is written.
struct SavePlan {
    std::string where;  // the start of every message of the save
    std::string folder;
    std::string baseName;     // NAME without its folder
    std::string mapFileName;  // NAME.ldi, as given
    std::string jsonName;
    std::string jsonPath;
    std::vector<std::string> niftiNames;  // one a map, in the folder
};

// The folder and NAME of `mapFilePath`; false when it names no file.
bool splitMapPath(const std::string& mapFilePath, SavePlan& plan, std::string& problem) {
    namespace fs = std::filesystem;
    plan.where = "cannot save the maps to " + mapFilePath + ": ";
    if (mapFilePath.empty()) {
        problem = "cannot save the maps: no file name was given";
        return false;
    }
    std::string base = mapFilePath;
    if (base.size() > 4 && base.compare(base.size() - 4, 4, ".ldi") == 0) base.resize(base.size() - 4);
    const fs::path basePath(base);
    plan.folder = basePath.parent_path().string();
    if (plan.folder.empty()) plan.folder = ".";
    plan.baseName = basePath.filename().string();
    if (plan.baseName.empty()) {
        problem = plan.where + "the name is a folder, not a file name";
        return false;
    }
    plan.mapFileName = fs::path(mapFilePath).filename().string();
    plan.jsonName = plan.baseName + ".json";
    plan.jsonPath = plan.folder + "/" + plan.jsonName;
    return true;
}

// NAME_LABEL.nii.gz per map: within the file system's limit, and none that
// this save or an earlier save of the same run has already written.
std::vector<std::string> niftiFileNames(const SavePlan& plan, const LdiFile& file, const SaveRecord& record) {
    std::set<std::string> taken;
    if (record.namesInRun != nullptr) taken = *record.namesInRun;
    taken.insert(foldAsciiCase(plan.folder + "/" + plan.mapFileName));
    taken.insert(foldAsciiCase(plan.folder + "/" + plan.jsonName));
#if defined(_WIN32)
    (void)file;
    const std::vector<std::string> labels;  // no NIfTI files there (see encodeNiftiMap)
#else
    const std::vector<std::string> labels = niftiLabels(file.maps);
#endif
    const std::string& baseName = plan.baseName;
    std::vector<std::string> names;
    for (const std::string& label : labels) {
        const std::size_t fixed = baseName.size() + 1 + std::strlen(".nii.gz");
        const std::size_t room = fixed < kMaxFileNameBytes ? kMaxFileNameBytes - fixed : 0;
        std::string name = baseName + "_" + fitLabel(label, room) + ".nii.gz";
        for (int extra = 2; taken.count(foldAsciiCase(plan.folder + "/" + name)) > 0; ++extra) {
            const std::string count = "_" + std::to_string(extra);
            name = baseName + "_" + fitLabel(label, room > count.size() ? room - count.size() : 0) + count + ".nii.gz";
        }
        taken.insert(foldAsciiCase(plan.folder + "/" + name));
        names.push_back(name);
    }
    return names;
}

// Every name of the save, or a message when one cannot be used.
bool planSave(const std::string& mapFilePath, const LdiFile& file, const SaveRecord& record, SavePlan& plan,
              std::string& problem) {
    if (!splitMapPath(mapFilePath, plan, problem)) return false;
    plan.niftiNames = niftiFileNames(plan, file, record);
    for (const std::string& name : {plan.mapFileName, plan.jsonName}) {
        if (name.size() > kMaxFileNameBytes) {
            problem = plan.where + "the file name " + name + " is " + std::to_string(name.size()) +
                      " bytes long, more than the " + std::to_string(kMaxFileNameBytes) +
                      " a file name may have; choose a shorter output prefix or VOI name";
            return false;
        }
    }
    return true;
}

// One file of the save to write.
struct SaveJob {
    std::string finalPath;
    const char* suffix;
    std::ptrdiff_t map;  // index of the map of a NIfTI file; -1 the map set, -2 the JSON index
};

std::vector<SaveJob> saveJobs(const std::string& mapFilePath, const SavePlan& plan) {
    std::vector<SaveJob> jobs;
    jobs.push_back(SaveJob{mapFilePath, ".ldi", -1});  // the largest first
    for (std::size_t i = 0; i < plan.niftiNames.size(); ++i)
        jobs.push_back(SaveJob{plan.folder + "/" + plan.niftiNames[i], ".nii.gz", static_cast<std::ptrdiff_t>(i)});
    jobs.push_back(SaveJob{plan.jsonPath, ".json", -2});
    return jobs;
}

// The files of a save under their temporary names, and what went wrong with each.
struct SaveFiles {
    std::vector<std::unique_ptr<TempFile>> temps;
    std::vector<std::string> problems;
    std::vector<char> done;

    explicit SaveFiles(std::size_t count) : temps(count), problems(count), done(count, 0) {}
    // The first file that failed, explained; false when none did.
    bool failed(std::string& problem) const {
        for (std::size_t j = 0; j < done.size(); ++j) {
            if (!done[j]) {
                problem = problems[j];
                return true;
            }
        }
        return false;
    }
};

// Makes job j's bytes and writes them to a new temporary file. The maps'
// values are written from where they lie, not copied first.
void writeJob(const SaveJob& job, const LdiFile& file, const std::string& json, const std::string& folder,
              SaveFiles& files, std::size_t j) {
    LdiPieces mapSet;
    ByteBuffer compressed;
    std::vector<std::string_view> pieces;
    std::string reason;
    if (job.map == -1) {
        layOutLdi(file, mapSet);
        pieces = mapSet.pieces;
    } else if (job.map >= 0) {
        if (!encodeNiftiMap(file.geometry, file.maps[static_cast<std::size_t>(job.map)], compressed, reason)) {
            files.problems[j] = "cannot write " + job.finalPath + ": " + reason;
            return;
        }
        pieces.push_back(compressed.view());
    } else {
        pieces.push_back(json);
    }
    files.temps[j] = std::make_unique<TempFile>();
    if (!files.temps[j]->create(folder, job.suffix, reason) ||
        !files.temps[j]->writeAll(pieces, job.finalPath, reason)) {
        files.problems[j] = reason;
        return;
    }
    files.done[j] = 1;
}

// Every file is made, written and flushed to the disk by whichever thread
// takes it, each alone (so the files do not depend on the split): the map
// set, one NIfTI file per map and the JSON index. Writing and flushing them
// side by side also lets the file system commit them together.
bool writeTemporaries(const std::vector<SaveJob>& jobs, const LdiFile& file, const std::string& json,
                      const std::string& folder, SaveFiles& files, std::string& problem) {
    const auto jobCount = static_cast<int64_t>(jobs.size());
    // More workers than cores: while one waits for the disk another computes.
    const int workers = static_cast<int>(std::min<int64_t>(jobCount, 2 * std::max(1u, std::thread::hardware_concurrency())));
    shareWork(workers, jobCount, 1, [&](int64_t first, int64_t, int) {
        const auto j = static_cast<std::size_t>(first);
        writeJob(jobs[j], file, json, folder, files, j);
    });
    if (files.failed(problem)) return false;
    // Then every file to the disk, all at once: the file system commits them
    // together instead of one journal flush after the other. A thread each
    // (up to a bound), since they only wait; a second round would wait for a
    // second commit.
    shareWork(static_cast<int>(std::min<int64_t>(jobCount, kMostWaitingThreads)), jobCount, 1,
              [&](int64_t first, int64_t, int) {
        const auto j = static_cast<std::size_t>(first);
        files.done[j] = files.temps[j]->finish(jobs[j].finalPath, files.problems[j]) ? 1 : 0;
    });
    return !files.failed(problem);
}

// Everything is on the disk: give the files their names, the NIfTI files and
// the JSON index first, the map set last. An earlier run's file of the same
// name is kept aside until all are in place, so that a failure leaves the
// earlier results as they were.
bool commitAll(const std::vector<SaveJob>& jobs, SaveFiles& files, const std::string& folder,
               std::vector<Commit>& steps, std::string& problem) {
    const auto addStep = [&steps](TempFile* temp, const std::string& finalPath) {
        Commit step;
        step.temp = temp;
        step.finalPath = finalPath;
        steps.push_back(step);
    };
    for (std::size_t j = 1; j < jobs.size(); ++j) addStep(files.temps[j].get(), jobs[j].finalPath);
    addStep(files.temps[0].get(), jobs[0].finalPath);
    for (Commit& step : steps) {
        if (!keepEarlierFile(step, folder, problem) || !step.temp->commit(step.finalPath, problem)) {
            undoCommits(steps);
            return false;
        }
        step.done = true;
    }
    return true;
}

// What is left to remove: the earlier files kept aside, and the files the
// earlier index of this name listed and this save did not write (they belong
// to results that no longer exist).
std::vector<std::string> leftoverFiles(const std::vector<Commit>& steps, const std::vector<std::string>& earlierFiles,
                                       const SavePlan& plan, const SaveRecord& record) {
    std::vector<std::string> removals;
    for (const Commit& step : steps)
        if (!step.keptPath.empty()) removals.push_back(step.keptPath);
    std::set<std::string> written(plan.niftiNames.begin(), plan.niftiNames.end());
    written.insert(plan.mapFileName);
    for (const std::string& name : earlierFiles) {
        const std::string path = plan.folder + "/" + name;
        const bool ownedByRun = record.namesInRun != nullptr && record.namesInRun->count(foldAsciiCase(path)) > 0;
        if (written.count(name) == 0 && !ownedByRun) removals.push_back(path);
    }
    return removals;
}

// Removing a file frees its blocks, which takes the file system a while for
// each: they are removed side by side, while the folder's new names are
// brought to the disk (job 0).
void removeAndSyncFolder(const std::vector<std::string>& removals, const std::string& folder) {
    const auto removalCount = static_cast<int64_t>(removals.size());
    shareWork(static_cast<int>(std::min<int64_t>(removalCount + 1, kMostWaitingThreads)), removalCount + 1, 1,
              [&](int64_t first, int64_t, int) {
        if (first > 0) {
            std::remove(removals[static_cast<std::size_t>(first - 1)].c_str());
            return;
        }
#if !defined(_WIN32)  // MOVEFILE_WRITE_THROUGH has already made the names durable there
        int folderHandle = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
        if (folderHandle >= 0) {
            ::fsync(folderHandle);
            ::close(folderHandle);
        }
#else
        (void)folder;
#endif
    });
}

}  // namespace

bool saveResultFiles(const std::string& mapFilePath, const LdiFile& file,
                     const ResultIdentity& identity, std::string& problem, const SaveRecord& record) {
    SavePlan plan;
    if (!planSave(mapFilePath, file, record, plan, problem)) return false;
    removeStaleTemporaryFiles(plan.folder);
    const std::vector<std::string> earlierFiles = filesOfEarlierIndex(plan.jsonPath);

    const std::string json =
        resultJson(file, identity, plan.mapFileName, plan.niftiNames, record.warnings, record.rngSeed)
            .dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) +
        "\n";
    const std::vector<SaveJob> jobs = saveJobs(mapFilePath, plan);
    SaveFiles files(jobs.size());
    std::vector<Commit> steps;
    std::string detail;
    if (!writeTemporaries(jobs, file, json, plan.folder, files, detail) ||
        !commitAll(jobs, files, plan.folder, steps, detail)) {
        problem = plan.where + detail;
        return false;
    }
    removeAndSyncFolder(leftoverFiles(steps, earlierFiles, plan, record), plan.folder);
    if (record.namesInRun != nullptr)
        for (const Commit& step : steps) record.namesInRun->insert(foldAsciiCase(step.finalPath));
    return true;
}

}  // namespace ldi
