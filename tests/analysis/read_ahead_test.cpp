// A run read on a thread of its own while the caller turns its volumes
// around: the held and the spilled run, and the regressed one, hold the same
// bits and judge the same voxels usable as when read on one thread; a feed
// that fails, at any volume, gives its message and no hang; a caller that
// gives up stops the reading thread; progress and the feed's finish stay on
// the calling thread.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cfenv>
#include <chrono>
#include <csignal>
#include <cmath>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "analysis/nifti_source.h"
#include "analysis/run_set.h"
#include "analysis/volume_batches.h"
#include "formats/confounds.h"
#include "formats/nifti_image.h"
#include "support/vtc_writer.h"

using namespace ldi;

namespace {

// Volumes of 60 voxels hold far less than a batch's bytes, so a held run
// comes in batches of 16 volumes: 37 volumes make two full ones and a short one.
constexpr int NX = 5, NY = 4, NZ = 3, NT = 37;
constexpr int VOXELS = NX * NY * NZ;

// Not finite once, constant, varying only before the judged volumes, the rest
// varied enough that a value in the wrong place shows.
float sample(int v, int t) {
    if (v == 7 && t == 20) return NAN;
    if (v == 0) return 3.0f;
    if (v == 11) return t == 0 ? 9.0f : 4.0f;
    return static_cast<float>(100 + v) + 0.25f * static_cast<float>((v * 7 + t * 13) % 29);
}

NiftiHeader runHeader(int nx = NX, int ny = NY, int nz = NZ) {
    NiftiHeader h;
    h.rank = 4;
    h.dim = {4, nx, ny, nz, NT, 1, 1, 1};
    h.pixdim = {1.0, 2.0, 2.0, 2.0, 1.5, 1.0, 1.0, 1.0};
    h.datatype = 16;  // float32
    h.sformCode = 1;
    h.srow = {{{2.0, 0.0, 0.0, 0.0}, {0.0, 2.0, 0.0, 0.0}, {0.0, 0.0, 2.0, 0.0}}};
    return h;
}

// What a reader of the run must hold: slice after slice, each voxel's
// volumes side by side (the voxels of a volume go x fastest, then y, then z).
std::vector<float> engineOrder() {
    std::vector<float> values;
    for (int v = 0; v < VOXELS; ++v)
        for (int t = 0; t < NT; ++t) values.push_back(sample(v, t));
    return values;
}

std::vector<uint8_t> usableFrom(int judged) {
    std::vector<uint8_t> usable;
    for (int v = 0; v < VOXELS; ++v) {
        bool finite = true, varies = false;
        for (int t = judged; t < NT; ++t) {
            finite = finite && std::isfinite(sample(v, t));
            varies = varies || sample(v, t) != sample(v, judged);
        }
        usable.push_back(finite && varies ? 1 : 0);
    }
    return usable;
}

// The volumes of sample(), failing at volume `failAt` (-1: never) and
// counting its calls, with the thread of each call.
struct CountingFeed {
    int failAt = -1;
    bool throwAtFailure = false;
    std::atomic<int> calls{0};
    std::atomic<bool> offCaller{false};
    std::thread::id caller = std::this_thread::get_id();
    bool finishedOnCaller = false;
    // What `seen` was shown: the volume index, and whether each value was the sample's.
    std::vector<int> seenVolumes;
    bool seenOffCaller = false;
    bool seenWrongValue = false;

    VolumeFeed feed() {
        VolumeFeed f;
        f.name = "run";
        f.header = runHeader();
        f.next = [this](float* volume, std::string& problem) {
            const int t = calls++;
            if (std::this_thread::get_id() != caller) offCaller = true;
            if (t == failAt) {
                if (throwAtFailure) throw std::runtime_error("feed thrown at " + std::to_string(t));
                problem = "run: the data end in volume " + std::to_string(t);
                return false;
            }
            for (int v = 0; v < VOXELS; ++v) volume[v] = sample(v, t);
            return true;
        };
        f.finish = [this](std::string&) {
            finishedOnCaller = std::this_thread::get_id() == caller;
            return true;
        };
        f.seen = [this](const float* volumes, int32_t first, int32_t count) {
            seenOffCaller = seenOffCaller || std::this_thread::get_id() != caller;
            for (int32_t k = 0; k < count; ++k) {
                const int t = first + k;
                seenVolumes.push_back(t);
                for (int v = 0; v < VOXELS; ++v) {
                    const float expected = sample(v, t);
                    seenWrongValue = seenWrongValue || std::memcmp(&volumes[k * VOXELS + v], &expected, sizeof(float)) != 0;
                }
            }
        };
        return f;
    }
};

// Held, or spilled in blocks of five volumes.
SourceBudgets budgets(bool spill) {
    if (spill) return SourceBudgets{0, int64_t{5} * VOXELS * 4};
    return SourceBudgets{SourceBudgets::fallbackInMemory, SourceBudgets{}.block};
}

std::vector<float> allValues(NiftiSliceSource& source) {
    std::vector<float> values;
    SliceValues slice;
    source.allocateSlice(slice);
    for (int z = 0; z < NZ; ++z) {
        EXPECT_TRUE(source.readSlice(z, slice));
        values.insert(values.end(), slice.floats.get(), slice.floats.get() + NX * NY * NT);
    }
    return values;
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

TEST(ReadAhead, HeldAndSpilledRunsHoldTheSameBitsOnOneThreadOrTwo) {
    TestTempDir dir;
    const std::vector<float> expected = engineOrder();
    for (bool spill : {false, true})
        for (int threads : {1, 2}) {
            SCOPED_TRACE(std::string(spill ? "spilled" : "held") + ", threads " + std::to_string(threads));
            CountingFeed counting;
            std::vector<int64_t> shown;
            bool progressOffCaller = false;
            const LoadProgress progress = [&](int64_t done, int64_t total) {
                EXPECT_EQ(total, NT);
                shown.push_back(done);
                progressOffCaller = progressOffCaller || std::this_thread::get_id() != counting.caller;
            };
            NiftiSliceSource source;
            std::string problem;
            ASSERT_TRUE(source.load(counting.feed(), 2, dir.root(), budgets(spill), threads, progress, problem))
                << problem;
            EXPECT_EQ(source.spilled(), spill);
            EXPECT_TRUE(sameBits(allValues(source), expected));
            EXPECT_EQ(source.usable(), usableFrom(2));
            EXPECT_EQ(counting.calls, NT);
            // The feed is read elsewhere only when a second thread is allowed;
            // everything the host sees stays here.
            EXPECT_EQ(counting.offCaller.load(), threads > 1);
            EXPECT_FALSE(progressOffCaller);
            EXPECT_TRUE(counting.finishedOnCaller);
            std::vector<int64_t> everyVolume;
            for (int t = 1; t <= NT; ++t) everyVolume.push_back(t);
            EXPECT_EQ(shown, everyVolume);
            // Every volume is seen once, in order, with its values, and here.
            std::vector<int> everyIndex;
            for (int t = 0; t < NT; ++t) everyIndex.push_back(t);
            EXPECT_EQ(counting.seenVolumes, everyIndex);
            EXPECT_FALSE(counting.seenOffCaller);
            EXPECT_FALSE(counting.seenWrongValue);
        }
}

TEST(ReadAhead, AFeedFailingAnywhereGivesItsMessageOnOneThreadOrTwo) {
    TestTempDir dir;
    // The first volume, inside a batch, the first of the second batch (and of
    // a spilled block), the last.
    for (int failAt : {0, 3, 15, 16, NT - 1})
        for (bool spill : {false, true})
            for (int threads : {1, 2}) {
                SCOPED_TRACE("volume " + std::to_string(failAt) + (spill ? ", spilled" : ", held") + ", threads " +
                             std::to_string(threads));
                CountingFeed counting;
                counting.failAt = failAt;
                NiftiSliceSource source;
                std::string problem;
                EXPECT_FALSE(source.load(counting.feed(), 0, dir.root(), budgets(spill), threads, nullptr, problem));
                EXPECT_EQ(problem, "run: the data end in volume " + std::to_string(failAt));
                // Nothing is read past the failure.
                EXPECT_EQ(counting.calls, failAt + 1);
            }
}

TEST(ReadAhead, AnExceptionOfTheFeedReachesTheCaller) {
    TestTempDir dir;
    for (int threads : {1, 2}) {
        CountingFeed counting;
        counting.failAt = 20;
        counting.throwAtFailure = true;
        NiftiSliceSource source;
        std::string problem;
        EXPECT_THROW(source.load(counting.feed(), 0, dir.root(), budgets(false), threads, nullptr, problem),
                     std::runtime_error)
            << "threads " << threads;
    }
}

// The batches come in order, cut at every block, whether read ahead or not;
// the spare work runs on the caller alone, while it waits for a slow reading
// thread (never on that thread: inflating is the slowest step), and no more
// once it says nothing is left.
TEST(ReadAhead, BatchesComeInOrderAndSpareWorkRunsOnlyOnTheWaitingCaller) {
    for (int threads : {1, 2}) {
        SCOPED_TRACE("threads " + std::to_string(threads));
        CountingFeed counting;
        VolumeFeed feed = counting.feed();
        const auto read = feed.next;
        feed.next = [read](float* volume, std::string& problem) {
            std::this_thread::sleep_for(std::chrono::milliseconds(3));  // slower than the caller
            return read(volume, problem);
        };
        int pieces = 0;
        bool spareOffCaller = false;
        VolumeBatches batches(feed, 5, threads, [&] {
            spareOffCaller = spareOffCaller || std::this_thread::get_id() != counting.caller;
            return ++pieces < 4;
        });
        EXPECT_EQ(batches.readsAhead(), threads > 1);
        VolumeBatch batch;
        std::string problem;
        int wrong = 0;
        for (int done = 0; done < NT; done = batch.first + batch.count) {
            ASSERT_TRUE(batches.next(batch, problem)) << problem;
            EXPECT_EQ(batch.first, done);
            EXPECT_EQ(batch.count, std::min(5, NT - done));
            for (int k = 0; k < batch.count; ++k)
                for (int v = 0; v < VOXELS; ++v) {
                    const float expected = sample(v, batch.first + k);  // NaN included
                    wrong += std::memcmp(&batch.values[k * VOXELS + v], &expected, sizeof expected) == 0 ? 0 : 1;
                }
        }
        EXPECT_TRUE(batches.finish(problem)) << problem;
        EXPECT_EQ(wrong, 0);
        EXPECT_EQ(pieces, threads > 1 ? 4 : 0);
        EXPECT_FALSE(spareOffCaller);
    }
}

// The caller leaves at volume 3 (its progress throws): the reading thread
// stops within the volumes already under way and is gone when load returns.
TEST(ReadAhead, ACallerThatGivesUpStopsTheReadingThread) {
    TestTempDir dir;
    for (bool spill : {false, true}) {
        CountingFeed counting;
        const LoadProgress progress = [](int64_t done, int64_t) {
            if (done == 3) throw std::runtime_error("stopped");
        };
        NiftiSliceSource source;
        std::string problem;
        EXPECT_THROW(source.load(counting.feed(), 0, dir.root(), budgets(spill), 2, progress, problem),
                     std::runtime_error);
        const int callsAtReturn = counting.calls;
        // Two batches at most (the one taken, the one read ahead), and one
        // volume begun when the caller left.
        EXPECT_LE(callsAtReturn, 2 * (spill ? 5 : 16) + 1) << (spill ? "spilled" : "held");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(counting.calls, callsAtReturn) << "read after load returned";
    }
}

// The temporary file cannot take the second block (a file size limit): the
// same message on one thread or two, and the reading thread stops there.
TEST(ReadAhead, ASpillThatCannotBeWrittenStopsTheReadingThread) {
    TestTempDir dir;
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);  // a failed write, not a killed process
    rlimit limited = before;
    limited.rlim_cur = 5 * VOXELS * 4 + 100;  // the first block of five volumes, and a little
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    std::vector<std::string> problems;
    for (int threads : {1, 2}) {
        CountingFeed counting;
        NiftiSliceSource source;
        std::string problem;
        EXPECT_FALSE(source.load(counting.feed(), 0, dir.root(), budgets(true), threads, nullptr, problem));
        problems.push_back(problem);
        const int callsAtReturn = counting.calls;
        // The second block's volumes, and at most one more batch read ahead.
        EXPECT_LE(callsAtReturn, 15 + (threads > 1 ? 1 : 0)) << "threads " << threads;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(counting.calls, callsAtReturn) << "read after load returned";
    }
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_NE(problems[0].find("cannot write the temporary copy of run"), std::string::npos) << problems[0];
    EXPECT_EQ(problems[0], problems[1]);
}

// A run file cut short inside its data: the same message however it is read.
// Stored uncompressed and larger than the reader's input buffer, so that the
// cut falls among the volumes rather than before the first.
TEST(ReadAhead, ATruncatedCompressedRunGivesTheSameMessageOnOneThreadOrTwo) {
    TestTempDir dir;
    const NiftiHeader grid = runHeader(64, 64, 8);
    std::string bytes = encodeNiftiRunHeader(grid, NT, 1.5, "test run");
    for (int t = 0; t < NT; ++t)
        for (int v = 0; v < grid.voxelsPerVolume(); ++v) {
            const float value = sample(v, t);
            bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
        }
    std::string packed, problem;
    ASSERT_TRUE(gzipBytes(bytes, 0, "the run", packed, problem)) << problem;
    const std::string path = dir.path("cut.nii.gz");
    std::ofstream(path, std::ios::binary) << packed.substr(0, packed.size() * 2 / 3);
    std::vector<std::string> problems;
    for (int threads : {1, 2}) {
        NiftiReader reader;
        ASSERT_TRUE(reader.open(path, problem)) << problem;
        NiftiSliceSource source;
        problem.clear();
        EXPECT_FALSE(source.load(reader, 0, dir.root(), budgets(false), threads, nullptr, problem));
        EXPECT_NE(problem.find(path), std::string::npos) << problem;
        problems.push_back(problem);
    }
    EXPECT_EQ(problems[0], problems[1]);
}

// The regression reads its run twice; both readings go ahead on a thread of
// their own, and a failure in either gives the feed's message.
struct RegressedFeeds {
    int failPass = -1;  // 0: the fit's reading, 1: the load's
    int failAt = -1;
    int opened = 0;
    CountingFeed feeds[2];

    FeedOpener opener() {
        return [this](VolumeFeed& feed, std::string&) {
            CountingFeed& counting = feeds[opened];
            if (opened == failPass) counting.failAt = failAt;
            ++opened;
            feed = counting.feed();
            return true;
        };
    }
};

ConfoundTable twoConfounds() {
    ConfoundTable table;
    table.names = {"drift", "wave"};
    table.columns.assign(2, std::vector<double>(NT));
    for (int t = 0; t < NT; ++t) {
        table.columns[0][static_cast<std::size_t>(t)] = 0.1 * t;
        table.columns[1][static_cast<std::size_t>(t)] = std::sin(0.7 * t);
    }
    return table;
}

// The regressed run as read on `threads` threads, spilled or held; whether
// both its passes read on a thread of their own.
struct RegressedLoad {
    std::vector<float> values;
    std::vector<uint8_t> usable;
    bool offCaller[2] = {false, false};
};

RegressedLoad loadRegressed(const ConfoundTable& table, const TestTempDir& dir, bool spill, int threads,
                            bool keep = false) {
    RegressedFeeds feeds;
    NiftiSliceSource source;
    std::string problem;
    RegressedLoad load;
    SourceBudgets given = budgets(spill);
    if (!keep) given.keptBetweenReadings = 0;
    EXPECT_TRUE(loadRegressedFeed(feeds.opener(), table, 1, dir.root(), given, threads, nullptr, source, problem))
        << problem;
    EXPECT_EQ(feeds.opened, keep ? 1 : 2) << "readings of the run";
    load.values = allValues(source);
    load.usable = source.usable();
    for (int pass : {0, 1}) load.offCaller[pass] = feeds.feeds[pass].offCaller.load();
    return load;
}

TEST(ReadAhead, TheRegressedRunIsTheSameOnOneThreadOrTwoAndFailsAlike) {
    TestTempDir dir;
    const ConfoundTable table = twoConfounds();
    const RegressedLoad one = loadRegressed(table, dir, true, 1), two = loadRegressed(table, dir, true, 2);
    EXPECT_FALSE(one.offCaller[0] || one.offCaller[1]);
    EXPECT_TRUE(two.offCaller[0]) << "the fit's reading";
    EXPECT_TRUE(two.offCaller[1]) << "the load's reading";
    EXPECT_TRUE(sameBits(one.values, two.values));
    EXPECT_EQ(one.usable, two.usable);
    // The regression changed the values: the run was read through it.
    EXPECT_FALSE(sameBits(one.values, engineOrder()));

    // Under the caller's rounding, on whichever thread the regression runs:
    // the same bits, and not those of the default rounding.
    const int saved = std::fegetround();
    ASSERT_EQ(std::fesetround(FE_UPWARD), 0);
    const RegressedLoad upOne = loadRegressed(table, dir, false, 1), upTwo = loadRegressed(table, dir, false, 2);
    std::fesetround(saved);
    EXPECT_TRUE(sameBits(upOne.values, upTwo.values));
    EXPECT_FALSE(sameBits(upOne.values, one.values));

    for (int pass : {0, 1})
        for (int threads : {1, 2}) {
            RegressedFeeds feeds;
            feeds.failPass = pass;
            feeds.failAt = 17;
            NiftiSliceSource source;
            std::string problem;
            SourceBudgets readTwice = budgets(false);
            readTwice.keptBetweenReadings = 0;
            EXPECT_FALSE(loadRegressedFeed(feeds.opener(), table, 1, dir.root(), readTwice, threads, nullptr,
                                           source, problem));
            EXPECT_EQ(problem, "run: the data end in volume 17") << "pass " << pass << ", threads " << threads;
            EXPECT_EQ(feeds.opened, pass + 1);
        }
}

// A run within the budgets is kept from the fit's reading for the load: read
// once, the same bits as reading it again, on one thread or two; one larger
// than the room for keeping it (or than half the memory budget) is read again.
TEST(ReadAhead, TheRegressedRunKeptFromTheFitIsTheRunReadAgain) {
    TestTempDir dir;
    const ConfoundTable table = twoConfounds();
    const RegressedLoad again = loadRegressed(table, dir, false, 2);
    for (int threads : {1, 2}) {
        const RegressedLoad kept = loadRegressed(table, dir, false, threads, true);
        EXPECT_TRUE(sameBits(kept.values, again.values)) << threads << " threads";
        EXPECT_EQ(kept.usable, again.usable);
    }
    const int64_t runBytes = int64_t{VOXELS} * NT * 4;
    const SourceBudgets roomTooSmall{SourceBudgets::fallbackInMemory, SourceBudgets{}.block, runBytes - 4};
    const SourceBudgets budgetTooSmall{2 * runBytes - 8, SourceBudgets{}.block};
    for (const SourceBudgets& tight : {roomTooSmall, budgetTooSmall}) {
        RegressedFeeds feeds;
        NiftiSliceSource source;
        std::string problem;
        ASSERT_TRUE(loadRegressedFeed(feeds.opener(), table, 1, dir.root(), tight, 2, nullptr, source, problem))
            << problem;
        EXPECT_EQ(feeds.opened, 2) << "kept beyond the room: " << tight.keptBetweenReadings << ", "
                                   << tight.inMemory;
        EXPECT_TRUE(sameBits(allValues(source), again.values));
    }
    // A failure in the one reading is the feed's message.
    RegressedFeeds feeds;
    feeds.failPass = 0;
    feeds.failAt = 17;
    NiftiSliceSource source;
    std::string problem;
    EXPECT_FALSE(loadRegressedFeed(feeds.opener(), table, 1, dir.root(), budgets(false), 2, nullptr, source, problem));
    EXPECT_EQ(problem, "run: the data end in volume 17");
}

}  // namespace
