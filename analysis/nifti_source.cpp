#include "analysis/nifti_source.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <thread>

#include "analysis/memory_budget.h"
#include "analysis/volume_batches.h"
#include "stats/volume_scans.h"

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

// Volumes are gathered a few at a time (analysis/volume_batches.h) and turned
// into the engine's order a tile of voxels at a time, so that each voxel's
// values of the gathered volumes are written side by side into lines in
// cache: one volume at a time, every value went to a line of its own, and
// transposing a held run took longer than inflating it.
constexpr int64_t TILE_VOXELS = 1024;
// A held run is kept in blocks of this many volumes, as a spilled run is
// kept in its file: the voxels' values of volumes t0 .. t0 + 15 side by side,
// then those of the next sixteen. Kept whole, each voxel's values side by
// side, the first batch read wrote into every page of the run, and its
// reading waited the seconds the system takes to back a gigabyte of fresh
// pages; in blocks, the pages are backed as the volumes arrive. Sixteen
// floats are one cache line: a slice is gathered from whole lines.
constexpr int32_t HELD_BLOCK_VOLUMES = 16;
// The held run's pages backed by the caller one large page at a time, so that
// it takes the next batch soon after the reading thread has it ready.
constexpr std::size_t PREFAULT_BYTES = std::size_t{2} << 20;

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

// The same for the voxels `voxels[0 .. count)` of the gathered volumes only,
// the i-th of them to out[i * stride], out[i * stride + 1], ...
void transposeGatheredSubset(const float* gathered, int64_t count, int64_t volumeVoxels, const int64_t* voxels,
                             int64_t voxelCount, float* out, int64_t stride) {
    for (int64_t i0 = 0; i0 < voxelCount; i0 += TILE_VOXELS) {
        const int64_t i1 = std::min(voxelCount, i0 + TILE_VOXELS);
        for (int64_t k = 0; k < count; ++k) {
            const float* from = gathered + k * volumeVoxels;
            for (int64_t i = i0; i < i1; ++i) out[i * stride + k] = from[voxels[i]];
        }
    }
}

// One voxel's values of a block's `length` volumes from t0 on into its row.
inline void placeBlock(const float* from, int64_t length, int32_t t0, float* row) {
    std::memcpy(row + t0, from, static_cast<std::size_t>(length) * sizeof(float));
}

// A voxel is usable when its values are finite and not all the same over the
// judged volumes, which are added one after the other.
class UsableVoxels {
public:
    UsableVoxels(int64_t voxels, int32_t judgedFrom)
        : judgedFrom_(judgedFrom),
          first_(static_cast<std::size_t>(voxels), 0.0f),
          finite_(static_cast<std::size_t>(voxels), 1),
          varies_(static_cast<std::size_t>(voxels), 0) {}

    // Volumes first .. first + count - 1, one after the other: a tile of
    // voxels at a time over all of them, so that the tile's flags stay in
    // cache, judged in the processor's widest vectors (stats/volume_scans.h).
    void add(int32_t first, int32_t count, const float* volumes) {
        const std::size_t voxels = first_.size();
        const int32_t from = std::max(first, judgedFrom_);
        float* const firsts = first_.data();
        uint8_t* const finite = finite_.data();
        uint8_t* const varies = varies_.data();
        for (std::size_t v0 = 0; v0 < voxels; v0 += static_cast<std::size_t>(TILE_VOXELS)) {
            const std::size_t v1 = std::min(voxels, v0 + static_cast<std::size_t>(TILE_VOXELS));
            for (int32_t t = from; t < first + count; ++t) {
                const float* volume = volumes + static_cast<std::size_t>(t - first) * voxels;
                if (t == judgedFrom_)
                    for (std::size_t v = v0; v < v1; ++v) firsts[v] = volume[v];
                judgeValues(volume, v0, v1, firsts, finite, varies);
            }
        }
    }

    std::vector<uint8_t> usable() const {
        std::vector<uint8_t> flags(first_.size(), 0);
        for (std::size_t v = 0; v < flags.size(); ++v) flags[v] = finite_[v] != 0 && varies_[v] != 0 ? 1 : 0;
        return flags;
    }

private:
    int32_t judgedFrom_;
    std::vector<float> first_;
    std::vector<uint8_t> finite_;
    std::vector<uint8_t> varies_;
};

// Backs the pages of `held` (from allocateLargeBuffer) from the end,
// PREFAULT_BYTES a call; `unbacked`: the bytes before those backed.
VolumeBatches::SpareWork backFromTheEnd(float* held, std::size_t& unbacked) {
    return [held, &unbacked] {
        const std::size_t from = unbacked > PREFAULT_BYTES ? unbacked - PREFAULT_BYTES : 0;
        const bool backed = unbacked > 0 && prefaultLargeBuffer(held, from, unbacked);
        unbacked = backed ? from : 0;
        return unbacked > 0;
    };
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
                            const SourceBudgets& budgets, int threads, const LoadProgress& progress,
                            std::string& problem) {
    return load(readerFeed(reader), firstJudged, spillFolder, budgets, threads, progress, problem);
}

bool NiftiSliceSource::load(const VolumeFeed& feed, int32_t firstJudged, const std::string& spillFolder,
                            const SourceBudgets& budgets, int threads, const LoadProgress& progress,
                            std::string& problem) {
    if (!setShape(feed.name, feed.header, problem)) return false;
    const int64_t volumeVoxels = dimX_ * dimY_ * dimZ_;
    if (!heldOnly_.empty() && static_cast<int64_t>(heldOnly_.size()) != volumeVoxels) {
        problem = "the voxels to hold of " + name_ + " are not on its grid";
        return false;
    }
    LargeArray<float> block;
    if (!prepareStorage(budgets, spillFolder, block, problem)) return false;
    UsableVoxels judged(volumeVoxels, std::clamp(firstJudged, 0, volumes_));
    // The held run's fresh pages cost the system as much as inflating the
    // run (more inside a virtual machine): the caller backs them, from the
    // end, while it waits for the reading thread, and block by block from
    // the front as the batches arrive.
    std::size_t unbacked = static_cast<std::size_t>(heldBytes());
    VolumeBatches batches(feed, blockVolumes_, threads, memory_ ? backFromTheEnd(memory_.get(), unbacked) : nullptr);
    VolumeBatch batch;
    for (int32_t done = 0; done < volumes_; done = batch.first + batch.count) {
        if (!batches.next(batch, problem)) return false;
        judged.add(batch.first, batch.count, batch.values);
        if (!storeBatch(batch, block.get(), spillFolder, problem)) return false;
        if (progress)
            for (int32_t t = batch.first; t < batch.first + batch.count; ++t) progress(t + 1, volumes_);
    }
    if (!batches.finish(problem)) return false;
    usable_ = judged.usable();
    if (spilled() && blockVolumes_ < volumes_) {
        const unsigned readers = std::max(2u, std::thread::hardware_concurrency());
        for (unsigned i = 0; i < readers; ++i) {
            scratchStore_.push_back(makeLargeArray<float>(static_cast<std::size_t>(dimX_ * dimY_ * blockVolumes_)));
            freeScratch_.push_back(scratchStore_.back().get());
        }
    }
    return true;
}

bool NiftiSliceSource::prepareStorage(const SourceBudgets& budgets, const std::string& spillFolder,
                                      LargeArray<float>& block, std::string& problem) {
    const int64_t volumeBytes = dimX_ * dimY_ * dimZ_ * static_cast<int64_t>(sizeof(float));
    heldVoxels_.clear();
    heldFrom_.clear();
    if (!heldOnly_.empty()) {
        const int64_t sliceVoxels = dimX_ * dimY_;
        for (int64_t v = 0; v < dimZ_ * sliceVoxels; ++v) {
            if (v % sliceVoxels == 0) heldFrom_.push_back(heldVoxels_.size());
            if (heldOnly_[static_cast<std::size_t>(v)] != 0) heldVoxels_.push_back(v);
        }
        heldFrom_.push_back(heldVoxels_.size());
    }
    const bool inMemory =
        heldVoxelCount() * volumes_ * static_cast<int64_t>(sizeof(float)) <= resolvedBudgets(budgets).inMemory;
    blockVolumes_ = inMemory ? std::min(HELD_BLOCK_VOLUMES, volumes_)
                             : static_cast<int32_t>(std::clamp<int64_t>(budgets.block / volumeBytes, 1, volumes_));
    const auto blockValues = static_cast<std::size_t>(volumeBytes / static_cast<int64_t>(sizeof(float)) * blockVolumes_);
    if (inMemory) {
        memory_ = makeLargeArray<float>(static_cast<std::size_t>(heldVoxelCount() * volumes_));
        return true;
    }
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
    block = makeLargeArray<float>(blockValues);
    return true;
}

bool NiftiSliceSource::storeBatch(const VolumeBatch& batch, float* block, const std::string& spillFolder,
                                  std::string& problem) {
    const int64_t volumeVoxels = dimX_ * dimY_ * dimZ_;
    const int32_t t0 = batch.first / blockVolumes_ * blockVolumes_;
    const int64_t length = std::min(blockVolumes_, volumes_ - t0);
    float* out = (memory_ ? memory_.get() + t0 * heldVoxelCount() : block) + (batch.first - t0);
    if (memory_ && !heldOnly_.empty())
        transposeGatheredSubset(batch.values, batch.count, volumeVoxels, heldVoxels_.data(),
                                static_cast<int64_t>(heldVoxels_.size()), out, length);
    else
        transposeGathered(batch.values, batch.count, volumeVoxels, out, length);
    const bool blockDone = batch.first + batch.count - t0 == length;
    if (memory_ || !blockDone ||
        writeAllAt(fd_, block, volumeVoxels * length, static_cast<int64_t>(t0) * volumeVoxels))
        return true;
    problem = "cannot write the temporary copy of " + name_ + " in " + spillFolder + ": " + std::strerror(errno);
    return false;
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
    if (memory_ && !heldOnly_.empty()) return readHeldSubset(z, out);
    if (blockVolumes_ >= volumes_) return readChunk(z * sliceVoxels * volumes_, sliceValues_, out);
    if (memory_) {
        for (int32_t t0 = 0; t0 < volumes_; t0 += blockVolumes_) {
            const int64_t length = std::min(blockVolumes_, volumes_ - t0);
            const float* from = memory_.get() + t0 * volumeVoxels + z * sliceVoxels * length;
            for (int64_t v = 0; v < sliceVoxels; ++v) placeBlock(from + v * length, length, t0, out + v * volumes_);
        }
        return true;
    }
    float* scratch = takeScratch();
    bool ok = true;
    for (int32_t t0 = 0; t0 < volumes_ && ok; t0 += blockVolumes_) {
        const int64_t length = std::min(blockVolumes_, volumes_ - t0);
        ok = readChunk(static_cast<int64_t>(t0) * volumeVoxels + z * sliceVoxels * length, sliceVoxels * length,
                       scratch);
        for (int64_t v = 0; v < sliceVoxels && ok; ++v) placeBlock(scratch + v * length, length, t0, out + v * volumes_);
    }
    returnScratch(scratch);
    return ok;
}

// Held in blocks of volumes, a voxel's values lie `length` at a time in each
// block: gathered from there (a voxel outside the held subset is zero).
bool NiftiSliceSource::readTimeCourse(int64_t voxel, float* out) {
    if (!memory_ || blockVolumes_ >= volumes_) return SliceSource::readTimeCourse(voxel, out);
    if (voxel < 0 || voxel >= dimX_ * dimY_ * dimZ_) return false;
    int64_t row = voxel;  // the voxel's place among those held
    if (!heldOnly_.empty()) {
        const auto found = std::lower_bound(heldVoxels_.begin(), heldVoxels_.end(), voxel);
        if (found == heldVoxels_.end() || *found != voxel) {
            std::fill(out, out + volumes_, 0.0f);
            return true;
        }
        row = found - heldVoxels_.begin();
    }
    const int64_t held = heldVoxelCount();
    for (int32_t t0 = 0; t0 < volumes_; t0 += blockVolumes_) {
        const int64_t length = std::min(blockVolumes_, volumes_ - t0);
        placeBlock(memory_.get() + t0 * held + row * length, length, t0, out);
    }
    return true;
}

void NiftiSliceSource::holdOnly(const std::vector<uint8_t>& voxels) { heldOnly_ = voxels; }

// The held voxels of slice z from the held subset, every other voxel's values zero.
bool NiftiSliceSource::readHeldSubset(int32_t z, float* out) const {
    const int64_t sliceVoxels = dimX_ * dimY_;
    const std::size_t first = heldFrom_[static_cast<std::size_t>(z)];
    const std::size_t end = heldFrom_[static_cast<std::size_t>(z) + 1];
    const auto rowBytes = static_cast<std::size_t>(volumes_) * sizeof(float);
    int64_t next = 0;  // the slice's first voxel not yet cleared or held
    for (std::size_t i = first; i < end; ++i) {
        const int64_t v = heldVoxels_[i] - z * sliceVoxels;
        std::memset(out + next * volumes_, 0, static_cast<std::size_t>(v - next) * rowBytes);
        next = v + 1;
    }
    std::memset(out + next * volumes_, 0, static_cast<std::size_t>(sliceVoxels - next) * rowBytes);
    const auto held = static_cast<int64_t>(heldVoxels_.size());
    for (int32_t t0 = 0; t0 < volumes_; t0 += blockVolumes_) {
        const int64_t length = std::min(blockVolumes_, volumes_ - t0);
        const float* from = memory_.get() + t0 * held + static_cast<int64_t>(first) * length;
        for (std::size_t i = first; i < end; ++i, from += length)
            placeBlock(from, length, t0, out + (heldVoxels_[i] - z * sliceVoxels) * volumes_);
    }
    return true;
}

}  // namespace ldi
