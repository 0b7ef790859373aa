// A 4D NIfTI run as a source of voxel time courses for the engine. The file
// is read once, front to back (volume after volume, as NIfTI stores it), and
// turned into the engine's order (slice after slice, each voxel's time course
// whole). A run that fits the memory budget is held in memory in that order;
// a larger one goes to an unlinked temporary file in blocks of volumes,
// written once and read back with one positional read per block and slice,
// so that memory stays bounded whatever the size of the run.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "analysis/float_slice_source.h"
#include "formats/nifti_image.h"
#include "stats/large_buffer.h"

namespace ldi {

struct VolumeBatch;

// Called after each volume read: volumes done, volumes in all.
using LoadProgress = std::function<void(int64_t done, int64_t total)>;

// How much of a run is held (bytes): a run up to `inMemory` is held whole; a
// larger one goes to the temporary file, transposed in blocks of about `block`.
// `automatic`: what the machine has to spare when the run is read
// (analysis/memory_budget.h).
struct SourceBudgets {
    static constexpr int64_t automatic = -1;
    // When the machine's spare memory cannot be read.
    static constexpr int64_t fallbackInMemory = int64_t{160} << 20;
    int64_t inMemory = automatic;
    int64_t block = int64_t{64} << 20;
    // A regression reads its run twice: a run of at most this many bytes
    // (and at most half of inMemory) is kept from the first reading for the
    // second rather than inflated again. 0: always read again.
    int64_t keptBetweenReadings = int64_t{256} << 20;
};

// The volumes of a run one after the other, as a source reads them: from a
// NIfTI file, or through a computation on the way (a regression).
struct VolumeFeed {
    std::string name;    // the run, in messages and logs
    NiftiHeader header;  // its grid and length
    std::function<bool(float* volume, std::string& problem)> next;
    std::function<bool(std::string& problem)> finish;  // after the last volume
    // Optional: shown the volumes read, in order, a few at a time (volumes
    // first .. first + count - 1, one after the other), on the thread that
    // takes them, not the one that reads them ahead (analysis/volume_batches.h):
    // reading is the slower of the two, and what is seen here (a sum over
    // the volumes) would only lengthen it.
    std::function<void(const float* volumes, int32_t first, int32_t count)> seen;
};

// The volumes of an opened reader, from where it stands.
VolumeFeed readerFeed(NiftiReader& reader);

class NiftiSliceSource : public FloatSliceSource {
public:
    NiftiSliceSource() = default;
    ~NiftiSliceSource() override;
    NiftiSliceSource(const NiftiSliceSource&) = delete;
    NiftiSliceSource& operator=(const NiftiSliceSource&) = delete;

    // Reads every volume of the feed. Voxels are judged usable on volumes
    // from `firstJudged` (0-based) on. A run over the budget spills into
    // `spillFolder`. With `threads` > 1 the feed is read on a thread of its
    // own while this one turns the volumes around (analysis/volume_batches.h);
    // `progress` is called on this one. False with a message naming the run.
    bool load(const VolumeFeed& feed, int32_t firstJudged, const std::string& spillFolder,
              const SourceBudgets& budgets, int threads, const LoadProgress& progress, std::string& problem);
    // The same for every volume of an opened reader.
    bool load(NiftiReader& reader, int32_t firstJudged, const std::string& spillFolder, const SourceBudgets& budgets,
              int threads, const LoadProgress& progress, std::string& problem);

    // Before load: of a run held in memory, hold only the values of the
    // voxels flagged here (one flag per voxel of the grid), the others read
    // as zeros; a spilled run keeps every voxel. With a brain mask, the
    // voxels outside it are never analysed, and holding them cost three
    // times the memory, the page backing and the transposition of those inside.
    void holdOnly(const std::vector<uint8_t>& voxels);

    bool readSlice(int32_t z, SliceValues& slice) override;
    bool readTimeCourse(int64_t voxel, float* out) override;

    // True when the run went to a temporary file.
    bool spilled() const { return fd_ >= 0; }
    // The bytes of the run held in memory (0 when spilled).
    int64_t heldBytes() const { return memory_ ? heldVoxelCount() * volumes_ * static_cast<int64_t>(sizeof(float)) : 0; }

private:
    // The held run's memory, or the temporary file and the room of one block.
    bool prepareStorage(const SourceBudgets& budgets, const std::string& spillFolder, LargeArray<float>& block,
                        std::string& problem);
    // A batch into the held run, or into the block, written out when complete.
    bool storeBatch(const VolumeBatch& batch, float* block, const std::string& spillFolder, std::string& problem);
    bool readChunk(int64_t offsetValues, int64_t count, float* out);
    // The voxels whose values a held run keeps: every one, or those of holdOnly.
    int64_t heldVoxelCount() const {
        return heldOnly_.empty() ? dimX_ * dimY_ * dimZ_ : static_cast<int64_t>(heldVoxels_.size());
    }
    bool readHeldSubset(int32_t z, float* out) const;
    float* takeScratch();
    void returnScratch(float* scratch);

    int32_t blockVolumes_ = 1;
    LargeArray<float> memory_;  // the whole run in blocks of volumes, as the file's, when held
    // With holdOnly: its flags; once loaded and held, the held voxels' grid
    // indices, ascending, and heldFrom_[z] the first of slice z's (dimZ + 1 entries).
    std::vector<uint8_t> heldOnly_;
    std::vector<int64_t> heldVoxels_;
    std::vector<std::size_t> heldFrom_;
    int fd_ = -1;               // the temporary file otherwise

    // Room for one block of one slice per reader thread, made before the
    // voxel loop so that reading allocates nothing.
    std::vector<LargeArray<float>> scratchStore_;
    std::vector<float*> freeScratch_;
    std::mutex scratchLock_;
    std::condition_variable scratchFreed_;
};

}  // namespace ldi
