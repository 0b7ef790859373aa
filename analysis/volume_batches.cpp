#include "analysis/volume_batches.h"

#include <sys/mman.h>

#include <algorithm>
#include <new>
#include <system_error>
#include <utility>

namespace ldi {

namespace {

// A batch of about this size holds the volumes a reader turns around at once
// (analysis/nifti_source.cpp transposes them a tile of voxels at a time).
constexpr int64_t GATHER_BYTES = int64_t{32} << 20;
constexpr int64_t MOST_GATHERED = 16;

// The batches' memory, mapped and unmapped directly: a block of this size
// from malloc, once freed, lifts glibc's threshold for blocks mapped on their
// own, and every later buffer below it (the maps of the run) would come from
// a heap that keeps growing, with what it held before.
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

}  // namespace

// One batch's room, and, while the reading thread runs, what it left there.
struct VolumeBatches::Slot {
    MappedFloats values;
    int32_t first = 0;
    int32_t count = 0;
    // Under lock_ while the reading thread runs: read and not yet taken, or
    // reading failed here (`problem`, or `error` for an exception).
    bool filled = false;
    bool failed = false;
    std::string problem;
    std::exception_ptr error;
};

VolumeBatches::VolumeBatches(const VolumeFeed& feed, int32_t blockVolumes, int threads, SpareWork spare)
    : feed_(feed),
      spare_(std::move(spare)),
      volumeVoxels_(feed.header.voxelsPerVolume()),
      volumes_(static_cast<int32_t>(feed.header.volumes())),
      blockVolumes_(std::max(blockVolumes, 1)) {
    gatherCount_ = static_cast<int32_t>(
        std::clamp<int64_t>(GATHER_BYTES / (volumeVoxels_ * static_cast<int64_t>(sizeof(float))), 1,
                            std::min<int64_t>(MOST_GATHERED, blockVolumes_)));
    // Two rooms: the thread fills one while the caller works on the other.
    // A run of one batch has nothing to overlap.
    slotCount_ = threads > 1 && volumes_ > gatherCount_ ? 2 : 1;
    slots_ = std::make_unique<Slot[]>(static_cast<std::size_t>(slotCount_));
    for (int s = 0; s < slotCount_; ++s)
        slots_[s].values = mapFloats(static_cast<std::size_t>(volumeVoxels_ * gatherCount_));
    if (slotCount_ == 1) return;
    ahead_ = true;
    try {
        reader_ = std::thread([this] { readAheadLoop(); });
    } catch (const std::system_error&) {
        ahead_ = false;  // no thread to spare: the volumes are read as they are taken
    }
}

VolumeBatches::~VolumeBatches() { stop(); }

void VolumeBatches::stop() {
    if (!reader_.joinable()) return;
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    reader_.join();
}

int32_t VolumeBatches::batchLength(int32_t first) const {
    const int32_t blockEnd = std::min(first / blockVolumes_ * blockVolumes_ + blockVolumes_, volumes_);
    return std::min(gatherCount_, blockEnd - first);
}

// Stops between two volumes once the caller has gone (false, no message).
bool VolumeBatches::readBatch(Slot& slot, int32_t first, std::string& problem) {
    slot.first = first;
    slot.count = batchLength(first);
    for (int32_t k = 0; k < slot.count; ++k) {
        if (ahead_) {
            std::lock_guard<std::mutex> guard(lock_);
            if (stopping_) return false;
        }
        if (!feed_.next(slot.values.get() + k * volumeVoxels_, problem)) return false;
    }
    return true;
}

// False when the caller has gone.
bool VolumeBatches::waitForRoom(const Slot& slot) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [&] { return stopping_ || !slot.filled; });
    return !stopping_;
}

void VolumeBatches::readAheadLoop() {
    int s = 0;
    for (int32_t first = 0; first < volumes_; s = (s + 1) % slotCount_) {
        Slot& slot = slots_[s];
        if (!waitForRoom(slot)) return;
        std::string problem;
        std::exception_ptr error;
        bool read = false;
        try {
            read = readBatch(slot, first, problem);
        } catch (...) {
            error = std::current_exception();
        }
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (stopping_) return;
            slot.filled = read;
            slot.failed = !read;
            slot.problem = std::move(problem);
            slot.error = error;
        }
        changed_.notify_all();
        if (!read) return;
        first += slot.count;
    }
}

bool VolumeBatches::next(VolumeBatch& batch, std::string& problem) {
    if (nextFirst_ >= volumes_) return false;
    if (!ahead_) {
        if (!readBatch(slots_[0], nextFirst_, problem)) return false;
        taken_ = 0;
    } else {
        const int s = (taken_ + 1) % slotCount_;
        Slot& slot = slots_[s];
        {
            std::unique_lock<std::mutex> guard(lock_);
            if (taken_ >= 0) slots_[taken_].filled = false;
            changed_.notify_all();
            while (!slot.filled && !slot.failed && spare_) {
                guard.unlock();
                const bool more = spare_();
                guard.lock();
                if (!more) spare_ = nullptr;
            }
            changed_.wait(guard, [&] { return slot.filled || slot.failed; });
        }
        taken_ = s;
        if (slot.error) std::rethrow_exception(slot.error);
        if (slot.failed) {
            problem = slot.problem;
            return false;
        }
    }
    const Slot& slot = slots_[taken_];
    batch = VolumeBatch{slot.values.get(), slot.first, slot.count};
    nextFirst_ = slot.first + slot.count;
    if (feed_.seen) feed_.seen(batch.values, batch.first, batch.count);
    return true;
}

bool VolumeBatches::finish(std::string& problem) {
    // The thread has read the last volume and ended: the feed is the caller's again.
    stop();
    return feed_.finish(problem);
}

}  // namespace ldi
