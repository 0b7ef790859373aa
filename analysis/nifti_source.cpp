#include "analysis/nifti_source.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <thread>

#include "analysis/memory_budget.h"

namespace ldi {

namespace {

bool writeAllAt(int fd, const float* data, int64_t count, int64_t offsetValues) {
    const char* bytes = reinterpret_cast<const char*>(data);
    std::size_t left = static_cast<std::size_t>(count) * sizeof(float);
    off_t at = static_cast<off_t>(offsetValues) * static_cast<off_t>(sizeof(float));
    while (left > 0) {
        const ssize_t written = ::pwrite(fd, bytes, left, at);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (written == 0) errno = ENOSPC;
            return false;
        }
        bytes += written;
        at += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

// Volumes are gathered a few at a time and turned into the engine's order a
// tile of voxels at a time, so that each voxel's values of the gathered
// volumes are written side by side into lines in cache: one volume at a time,
// every value went to a line of its own, and transposing a held run took
// longer than inflating it.
constexpr int64_t GATHER_BYTES = int64_t{32} << 20;
constexpr int64_t MOST_GATHERED = 16;
constexpr int64_t TILE_VOXELS = 1024;

// The gathered volumes' memory, mapped and unmapped directly: a block of
// this size from malloc, once freed, lifts glibc's threshold for blocks
// mapped on their own, and every later buffer below it (the maps of the run)
// would come from a heap that keeps growing, with what it held before.
struct Unmap {
    std::size_t bytes;
    void operator()(float* values) const { ::munmap(values, bytes); }
};
using MappedFloats = std::unique_ptr<float, Unmap>;

MappedFloats mapFloats(std::size_t count) {
    const std::size_t bytes = count * sizeof(float);
    void* memory = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
    return MappedFloats(static_cast<float*>(memory), Unmap{bytes});
}

// Voxel v's values of `count` volumes (one after the other, `voxels` each)
// to out[v * stride], out[v * stride + 1], ...
void transposeGathered(const float* gathered, int64_t count, int64_t voxels, float* out, int64_t stride) {
    for (int64_t v0 = 0; v0 < voxels; v0 += TILE_VOXELS) {
        const int64_t v1 = std::min(voxels, v0 + TILE_VOXELS);
        for (int64_t k = 0; k < count; ++k) {
            const float* from = gathered + k * voxels;
            for (int64_t v = v0; v < v1; ++v) out[v * stride + k] = from[v];
        }
    }
}

}  // namespace

VolumeFeed readerFeed(NiftiReader& reader) {
    VolumeFeed feed;
    feed.name = reader.path();
    feed.header = reader.header();
    feed.next = [&reader](float* volume, std::string& failure) { return reader.readVolume(volume, failure); };
    feed.finish = [&reader](std::string& failure) { return reader.finish(failure); };
    return feed;
}

NiftiSliceSource::~NiftiSliceSource() {
    if (fd_ >= 0) ::close(fd_);
}

bool NiftiSliceSource::load(NiftiReader& reader, int32_t firstJudged, const std::string& spillFolder,
                            const SourceBudgets& budgets, const LoadProgress& progress, std::string& problem) {
    return load(readerFeed(reader), firstJudged, spillFolder, budgets, progress, problem);
}

bool NiftiSliceSource::load(const VolumeFeed& feed, int32_t firstJudged, const std::string& spillFolder,
                            const SourceBudgets& budgets, const LoadProgress& progress, std::string& problem) {
    const NiftiHeader& h = feed.header;
    if (!setShape(feed.name, h, problem)) return false;
    const int64_t sliceVoxels = dimX_ * dimY_;
    const int64_t volumeVoxels = sliceVoxels * dimZ_;
    const int64_t volumes = volumes_;

    const int64_t runBytes = volumeVoxels * volumes * static_cast<int64_t>(sizeof(float));
    const bool inMemory = runBytes <= resolvedBudgets(budgets).inMemory;
    blockVolumes_ = inMemory ? volumes_
                             : static_cast<int32_t>(std::clamp<int64_t>(
                                   budgets.block / (volumeVoxels * static_cast<int64_t>(sizeof(float))), 1,
                                   volumes));
    LargeArray<float> block;
    if (inMemory) {
        memory_ = makeLargeArray<float>(static_cast<std::size_t>(volumeVoxels * volumes));
    } else {
        std::string pattern = spillFolder + "/.ldi-map-run-XXXXXX";
        std::vector<char> path(pattern.begin(), pattern.end());
        path.push_back('\0');
        fd_ = ::mkstemp(path.data());
        if (fd_ < 0) {
            problem = "cannot create a temporary file in " + spillFolder + " for the data of " + name_ + ": " +
                      std::strerror(errno);
            return false;
        }
        // Unlinked at once: whatever way the run ends, nothing stays behind.
        ::unlink(path.data());
        block = makeLargeArray<float>(static_cast<std::size_t>(volumeVoxels * blockVolumes_));
    }

    // Gathered volumes never straddle a block: a block ends a gathering.
    const int64_t gatherCount = std::clamp<int64_t>(
        GATHER_BYTES / (volumeVoxels * static_cast<int64_t>(sizeof(float))), 1,
        std::min<int64_t>(MOST_GATHERED, blockVolumes_));
    const MappedFloats gathered = mapFloats(static_cast<std::size_t>(volumeVoxels * gatherCount));
    int64_t held = 0;  // volumes in `gathered`
    std::vector<float> first(static_cast<std::size_t>(volumeVoxels), 0.0f);
    std::vector<uint8_t> finite(static_cast<std::size_t>(volumeVoxels), 1);
    std::vector<uint8_t> varies(static_cast<std::size_t>(volumeVoxels), 0);
    const int32_t judgedFrom = std::clamp(firstJudged, 0, volumes_);
    for (int32_t t = 0; t < volumes_; ++t) {
        float* volume = gathered.get() + held * volumeVoxels;
        if (!feed.next(volume, problem)) return false;
        ++held;
        if (t >= judgedFrom) {
            for (int64_t v = 0; v < volumeVoxels; ++v) {
                const float value = volume[v];
                const auto at = static_cast<std::size_t>(v);
                if (!std::isfinite(value)) finite[at] = 0;
                if (t == judgedFrom) first[at] = value;
                else if (value != first[at]) varies[at] = 1;
            }
        }
        const int32_t t0 = t / blockVolumes_ * blockVolumes_;  // 0 for a held run: one block
        const int64_t length = std::min(blockVolumes_, volumes_ - t0);
        const bool blockDone = t + 1 - t0 == length;
        if (held == gatherCount || blockDone) {
            const int64_t firstGathered = t + 1 - held;
            float* out = (inMemory ? memory_.get() : block.get()) + (firstGathered - t0);
            transposeGathered(gathered.get(), held, volumeVoxels, out, length);
            held = 0;
        }
        if (!inMemory && blockDone &&
            !writeAllAt(fd_, block.get(), volumeVoxels * length, static_cast<int64_t>(t0) * volumeVoxels)) {
            problem = "cannot write the temporary copy of " + name_ + " in " + spillFolder + ": " +
                      std::strerror(errno);
            return false;
        }
        if (progress) progress(t + 1, volumes_);
    }
    if (!feed.finish(problem)) return false;
    usable_.assign(static_cast<std::size_t>(volumeVoxels), 0);
    for (std::size_t v = 0; v < usable_.size(); ++v) usable_[v] = finite[v] != 0 && varies[v] != 0 ? 1 : 0;

    if (!inMemory && blockVolumes_ < volumes_) {
        const unsigned threads = std::max(2u, std::thread::hardware_concurrency());
        for (unsigned i = 0; i < threads; ++i) {
            scratchStore_.push_back(makeLargeArray<float>(static_cast<std::size_t>(sliceVoxels * blockVolumes_)));
            freeScratch_.push_back(scratchStore_.back().get());
        }
    }
    return true;
}

bool NiftiSliceSource::readChunk(int64_t offsetValues, int64_t count, float* out) {
    if (memory_) {
        std::memcpy(out, memory_.get() + offsetValues, static_cast<std::size_t>(count) * sizeof(float));
        return true;
    }
    char* bytes = reinterpret_cast<char*>(out);
    std::size_t left = static_cast<std::size_t>(count) * sizeof(float);
    off_t at = static_cast<off_t>(offsetValues) * static_cast<off_t>(sizeof(float));
    while (left > 0) {
        const ssize_t got = ::pread(fd_, bytes, left, at);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        bytes += got;
        at += got;
        left -= static_cast<std::size_t>(got);
    }
    return true;
}

float* NiftiSliceSource::takeScratch() {
    std::unique_lock<std::mutex> lock(scratchLock_);
    scratchFreed_.wait(lock, [this] { return !freeScratch_.empty(); });
    float* scratch = freeScratch_.back();
    freeScratch_.pop_back();
    return scratch;
}

void NiftiSliceSource::returnScratch(float* scratch) {
    {
        std::lock_guard<std::mutex> lock(scratchLock_);
        freeScratch_.push_back(scratch);
    }
    scratchFreed_.notify_one();
}

bool NiftiSliceSource::readSlice(int32_t z, SliceValues& slice) {
    if (z < 0 || z >= dimZ_ || !slice.floats || slice.capacity < sliceValues_) return false;
    const int64_t sliceVoxels = dimX_ * dimY_;
    const int64_t volumeVoxels = sliceVoxels * dimZ_;
    float* out = slice.floats.get();
    if (blockVolumes_ >= volumes_) return readChunk(z * sliceVoxels * volumes_, sliceValues_, out);
    float* scratch = takeScratch();
    bool ok = true;
    for (int32_t t0 = 0; t0 < volumes_ && ok; t0 += blockVolumes_) {
        const int64_t length = std::min(blockVolumes_, volumes_ - t0);
        ok = readChunk(static_cast<int64_t>(t0) * volumeVoxels + z * sliceVoxels * length, sliceVoxels * length,
                       scratch);
        for (int64_t v = 0; v < sliceVoxels && ok; ++v) {
            const float* from = scratch + v * length;
            float* to = out + v * volumes_ + t0;
            for (int64_t k = 0; k < length; ++k) to[k] = from[k];
        }
    }
    returnScratch(scratch);
    return ok;
}

}  // namespace ldi
