// The volumes of a feed handed out a few at a time, consecutive volumes side
// by side in one buffer, for a reader that turns them into the engine's order
// or sums over them. With more than one thread the feed is read (inflated,
// regressed) on a thread of its own into a second buffer while the caller
// works on the first: inflating took about as long as everything the caller
// does with the volumes, and the two now overlap. The feed's `next` is then
// called on that thread, one call after the other; everything else (the
// feed's `finish`, progress, what the caller does) stays on the calling thread.
// The thread is started by the caller for each reading, so it takes on the
// caller's floating-point environment (POSIX threads inherit it): what a feed
// computes (a regression) does not depend on the thread it runs on.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "analysis/nifti_source.h"

namespace ldi {

// Volumes first .. first + count - 1, one after the other, each the feed's
// volume in full. Valid until the next call to VolumeBatches::next.
struct VolumeBatch {
    const float* values = nullptr;
    int32_t first = 0;
    int32_t count = 0;
};

class VolumeBatches {
public:
    // Work for the caller while it waits for the reading thread's next
    // batch: one short piece a call, false when none is left. Inflating is
    // the slowest step, so the reading thread never does it: given the
    // reading thread's waits for a caller that still had both batches, it
    // held up the reading by a sixth of a whole-brain run. It runs beside
    // the reading thread, so it must not touch what the feed reads or
    // writes, and must not throw.
    using SpareWork = std::function<bool()>;

    // Batches end at every multiple of `blockVolumes` (a reader's block ends
    // a batch) and at the last volume. `threads` > 1: the feed is read ahead
    // on a thread of its own; the caller does `spare` while it waits.
    VolumeBatches(const VolumeFeed& feed, int32_t blockVolumes, int threads, SpareWork spare = nullptr);
    // Stops and joins the reading thread, wherever the caller left off.
    ~VolumeBatches();
    VolumeBatches(const VolumeBatches&) = delete;
    VolumeBatches& operator=(const VolumeBatches&) = delete;

    // The next batch, in order, shown to the feed's `seen` on the calling
    // thread. False with the feed's message when reading it failed; a failure
    // is reported where reading one after the other would have met it, after
    // every batch before it. An exception of the feed is thrown here, the
    // same way.
    bool next(VolumeBatch& batch, std::string& problem);
    // After the last batch: the feed's finish, on the calling thread.
    bool finish(std::string& problem);

    // Whether a thread of its own reads the feed.
    bool readsAhead() const { return ahead_; }

private:
    struct Slot;
    int32_t batchLength(int32_t first) const;
    bool readBatch(Slot& slot, int32_t first, std::string& problem);
    void readAheadLoop();
    bool waitForRoom(const Slot& slot);
    void stop();

    const VolumeFeed& feed_;
    SpareWork spare_;
    int64_t volumeVoxels_ = 0;
    int32_t volumes_ = 0;
    int32_t blockVolumes_ = 1;
    int32_t gatherCount_ = 1;
    int32_t nextFirst_ = 0;  // the first volume of the batch the caller takes next
    int slotCount_ = 1;
    std::unique_ptr<Slot[]> slots_;
    int taken_ = -1;  // the slot the caller holds, handed back at its next call
    bool ahead_ = false;  // set before the reading thread starts

    std::mutex lock_;
    std::condition_variable changed_;
    bool stopping_ = false;  // under lock_
    std::thread reader_;
};

}  // namespace ldi
