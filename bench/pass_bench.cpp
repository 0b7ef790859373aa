// The voxel pass on a generated data set of realistic size: 58 x 40 x 46 voxels of
// 400 volumes, about 56,000 of them inside an ellipsoidal "brain", one reference
// VOI, one condition with the interval 5 to 395, p = 1, 1000 surrogates. The data
// set is written with the VTC layout into a temporary folder by the benchmark
// itself (unsigned 16-bit as the scanner files are, and float32), then run through
// the same preparation and pass as a real run.
//
// Cases:
//   laneBlock/<kernel>       one block of voxels through a lane kernel, 1 or 10 draws (ns per voxel)
//   pass/<type>/<method>     computeConditionMeasures, whole grid, warm page cache
//   nullDraws/<method>       ten null draws per voxel: one pass against one pass per draw
//   surrogates/threads       generateSurrogates of the data set (1000 series)
//   wholeRun/threads         the plug-in's whole computation of a run (an in-memory
//                            host keeps the maps; nothing of the host's is timed)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "data/grid_box.h"
#include "data/voi_time_course.h"
#include "data/vtc_writer.h"
#include "engine/voxel_lanes.h"
#include "engine/voxel_pass.h"
#include "plugin/analysis_driver.h"
#include "base/host_api.h"
#include "stats/parallel.h"
#include "plugin/analysis_context.h"
#include "plugin/run_inputs.h"
#include "plugin/run_seed.h"
#include "setup/analysis_setup.h"
#include "stats/random.h"
#include "stats/sorting.h"
#include "tests/support/run_steps.h"

using namespace ldi;

namespace {

constexpr int32_t kDimX = 58;
constexpr int32_t kDimY = 40;
constexpr int32_t kDimZ = 46;
constexpr int32_t kVolumes = 400;
constexpr int32_t kResolution = 3;

// Inside the ellipsoid that touches the grid's faces: pi/6 of the grid, 55,880 voxels.
bool insideBrain(int x, int y, int z) {
    const double dx = (x + 0.5 - kDimX / 2.0) / (kDimX / 2.0);
    const double dy = (y + 0.5 - kDimY / 2.0) / (kDimY / 2.0);
    const double dz = (z + 0.5 - kDimZ / 2.0) / (kDimZ / 2.0);
    return dx * dx + dy * dy + dz * dz <= 1.0;
}

struct Noise {
    uint32_t state;
    float next() {  // roughly normal: the sum of four uniforms, centred
        float sum = 0.0f;
        for (int i = 0; i < 4; ++i) {
            state = state * 1664525u + 1013904223u;
            sum += static_cast<float>(state >> 8) / 16777216.0f;
        }
        return sum - 2.0f;
    }
};

// A VTC of the benchmark grid. Every voxel inside the brain is an AR(1) series
// around 1000 with a slow drift; a third of them carry the reference signal, some
// one volume later. Outside the brain the first value is 0, below the default
// inclusion threshold of 100.
bool writeDataSet(const std::string& path, bool floatData) {
    VtcHeaderFields header;
    header.sourceName = "bench.fmr";
    header.dataType = floatData ? VTC_DATA_TYPE_FLOAT : 1;
    header.numVolumes = kVolumes;
    header.resolution = kResolution;
    header.xEnd = kDimX * kResolution;
    header.yEnd = kDimY * kResolution;
    header.zEnd = kDimZ * kResolution;
    VtcWriter file;
    std::string problem;
    if (!file.open(path, header, problem)) return false;

    Noise noise{12345u};
    std::vector<float> reference(kVolumes);
    float a = 0.0f;
    for (int t = 0; t < kVolumes; ++t) {
        a = 0.7f * a + noise.next();
        reference[static_cast<std::size_t>(t)] = a;
    }
    // Written a slice at a time: the page cache then holds the file in large pages,
    // as after reading a file from disk, and reads it about twice as fast as a
    // file written in small pieces.
    std::vector<float> slice;
    slice.reserve(static_cast<std::size_t>(kDimX) * kDimY * kVolumes);
    for (int z = 0; z < kDimZ; ++z) {
        slice.clear();
        for (int y = 0; y < kDimY; ++y)
            for (int x = 0; x < kDimX; ++x) {
                const bool inside = insideBrain(x, y, z);
                const int kind = (x + 2 * y + 3 * z) % 3;  // 0 none, 1 synchronous, 2 one volume later
                float e = 0.0f;
                for (int t = 0; t < kVolumes; ++t) {
                    e = 0.5f * e + noise.next();
                    float value = inside ? 1000.0f + 0.05f * static_cast<float>(t) + 8.0f * e : 20.0f + e;
                    if (inside && kind == 1) value += 12.0f * reference[static_cast<std::size_t>(t)];
                    if (inside && kind == 2 && t > 0) value += 12.0f * reference[static_cast<std::size_t>(t - 1)];
                    if (!inside && t == 0) value = 0.0f;
                    slice.push_back(value);
                }
            }
        if (!file.write(slice.data(), slice.size(), problem)) return false;
    }
    return file.close(problem);
}

// One prepared run of the benchmark data set: files open, reference time course and
// surrogates built, as the driver leaves them before the first voxel pass.
struct BenchRun {
    std::string folder;
    std::string vtcPath;
    AnalysisSetup setup;
    AnalysisContext context;
    std::vector<int32_t> voiVoxels;
    std::ostringstream errors;
    bool ready = false;

    explicit BenchRun(bool floatData) {
        char pattern[] = "/tmp/ldi-bench-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return;
        folder = pattern;
        vtcPath = folder + (floatData ? "/float.vtc" : "/uint16.vtc");
        if (!writeDataSet(vtcPath, floatData)) return;

        setup.parameters.autoRegressionOrder = 1;
        setup.parameters.numSurrogateSimulations = 1000;
        setup.parameters.showVerboseProgressLog = false;
        setup.xStart = setup.yStart = setup.zStart = 0;
        setup.xEnd = kDimX * kResolution;
        setup.yEnd = kDimY * kResolution;
        setup.zEnd = kDimZ * kResolution;
        setup.resolution = kResolution;
        setup.maxVolumes = kVolumes;
        // A 3 x 3 x 3 reference region of synchronous voxels near the centre.
        for (int z = 22; z < 25; ++z)
            for (int y = 19; y < 22; ++y)
                for (int x = 28; x < 31; ++x)
                    for (int c : {x, y, z}) voiVoxels.push_back(c * kResolution);
        SelectedVoi voi;
        voi.name = "Reference";
        voi.hostIndex = 0;
        voi.voxelCount = static_cast<int32_t>(voiVoxels.size() / 3);
        voi.voxels = voiVoxels.data();
        setup.vois.push_back(voi);
        Condition& condition = addCondition(setup, "A");
        VtcEntry& entry = addVtcEntry(condition, vtcPath, vtcPath);
        entry.intervals = {{5, 395}};
        context.rngSeed = 1700000000u;
        ready = prepareReferenceTimeCourses(context, setup, errors) == 1 &&
                generateSurrogates(context, setup, errors) == 1;
        if (!ready) std::fprintf(stderr, "benchmark data set: %s\n", errors.str().c_str());
    }

    ~BenchRun() {
        releaseAnalysisContext(context);
        std::error_code ignored;
        if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
    }

    int pass() {
        std::ostringstream runLog;
        return computeConditionMeasures(context, setup.vois[0], setup.conditions[0], setup, runLog, errors);
    }
};

BenchRun& benchRun(bool floatData) {
    static std::unique_ptr<BenchRun> runs[2];
    std::unique_ptr<BenchRun>& run = runs[floatData ? 1 : 0];
    if (!run) run = std::make_unique<BenchRun>(floatData);
    return *run;
}

// Whole pass: method (0 sequential, 1 fast), threads, data type (0 uint16, 1 float32).
void pass(benchmark::State& state) {
    const bool fast = state.range(0) == 1;
    const int threads = static_cast<int>(state.range(1));
    BenchRun& run = benchRun(state.range(2) == 1);
    if (!run.ready) {
        state.SkipWithError("the data set could not be prepared");
        return;
    }
    run.context.options.passMethod = fast ? VoxelPassMethod::fast : VoxelPassMethod::sequential;
    run.context.options.threads = threads;
    // The threads a run keeps for all its steps.
    run.context.work.workers = std::make_unique<WorkerTeam>(threads - 1);
    for (auto _ : state) {
        if (run.pass() != 1) {
            state.SkipWithError("the pass failed");
            break;
        }
    }
    run.context.work.workers.reset();
    run.context.options = EngineOptions{};
    state.counters["voxels/s"] =
        benchmark::Counter(static_cast<double>(kDimX * kDimY * kDimZ), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(pass)
    ->ArgNames({"fast", "threads", "float"})
    ->Args({1, 1, 0})
    ->Args({1, 2, 0})
    ->Args({1, 1, 1})
    ->Args({1, 2, 1})
    ->Args({0, 1, 0})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(1.0);

// Ten null draws per voxel (as the permutation FDR takes them): one pass that
// computes every draw while the slice is at hand, against the pass repeated once
// per draw. Arguments: one pass (1) or repeated (0), threads; uint16 data.
void nullDraws(benchmark::State& state) {
    BenchRun& run = benchRun(false);
    if (!run.ready) {
        state.SkipWithError("the data set could not be prepared");
        return;
    }
    run.context.options.nullDrawMethod =
        state.range(0) == 1 ? NullDrawMethod::onePass : NullDrawMethod::repeatedPasses;
    run.context.options.threads = static_cast<int>(state.range(1));
    run.context.work.workers = std::make_unique<WorkerTeam>(static_cast<int>(state.range(1)) - 1);
    EngineInput input = engineInputOf(run.context, run.setup);
    input.nullDraws = 10;
    for (auto _ : state) {
        std::ostringstream runLog;
        if (computeConditionDraws(input, 0, 0, run.context.work, [](const EngineProgress&) {}, runLog, run.errors) !=
            1) {
            state.SkipWithError("the pass failed");
            break;
        }
    }
    run.context.work.extraNulls.clear();
    run.context.work.workers.reset();
    run.context.options = EngineOptions{};
    state.SetLabel(state.range(0) == 1 ? "one pass" : "repeated passes");
}
BENCHMARK(nullDraws)
    ->ArgNames({"onePass", "threads"})
    ->Args({0, 2})
    ->Args({1, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);

// A host that only keeps the maps in memory and saves nothing, so that a whole run
// measures the plug-in's own computation (the host's file writing is its own).
namespace memoryHost {

std::vector<std::vector<float>> maps;
std::vector<std::vector<float>> thresholds;
std::vector<SyLevelLabel> labels;
SyMapSetHeader current{};

void version(int* major, int* minor, int* patch) {
    *major = 2;
    *minor = 1;
    *patch = 0;
}
void logText(const char*) {}
void deleteMaps() { maps.clear(); }
int createMaps(int mapCount, int, int levelCount, SyMapSetHeader* header) {
    current = *header;
    current.mapCount = mapCount;
    const GridSize size = gridSizeOf(GridBox{header->xStart, header->xEnd, header->yStart, header->yEnd,
                                             header->zStart, header->zEnd, header->resolution});
    current.dimX = size.dimX;
    current.dimY = size.dimY;
    current.dimZ = size.dimZ;
    const std::size_t voxels = static_cast<std::size_t>(current.dimX) * current.dimY * current.dimZ;
    maps.assign(static_cast<std::size_t>(mapCount), std::vector<float>(voxels, 0.0f));
    thresholds.assign(static_cast<std::size_t>(mapCount), std::vector<float>(static_cast<std::size_t>(levelCount)));
    labels.assign(static_cast<std::size_t>(levelCount), SyLevelLabel{});
    return 1;
}
void* getMaps(SyMapSetHeader* header) {
    if (maps.empty()) return nullptr;
    const int32_t levels = header->levelCount;
    *header = current;
    header->levelCount = levels;
    header->levelLabels = labels.data();
    return maps.data();
}
float* getMap(int index, SyMapHeader* header) {
    if (index < 0 || static_cast<std::size_t>(index) >= maps.size()) return nullptr;
    header->fdrThresholdCount = static_cast<int32_t>(thresholds[static_cast<std::size_t>(index)].size());
    header->fdrThresholds = thresholds[static_cast<std::size_t>(index)].data();
    return maps[static_cast<std::size_t>(index)].data();
}
int setMap(int, const SyMapHeader*) { return 1; }
int save(const char*) { return 1; }

bool install() {
    HostApi table{};
    table.syGetVersionOfSynapsa = version;
    table.syLogText = logText;
    table.syDeleteNRVMPsOfCurrentVMR = deleteMaps;
    table.syCreateNRVMPsForCurrentVMR = createMaps;
    table.syGetNRVMPsOfCurrentVMR = getMaps;
    table.syGetNRVMPOfCurrentVMR = getMap;
    table.sySetNRVMPParametersOfCurrentVMR = setMap;
    table.sySaveNRVMPsOfCurrentVMR = save;
    return installHostApi(table);
}

}  // namespace memoryHost

// The plug-in's whole computation for the data set, as execute runs it after the
// dialogs: opening, reference time course, surrogates, voxel pass, maps with their
// thresholds, the run log, tear-down. Threads as given.
void wholeRun(benchmark::State& state) {
    BenchRun& run = benchRun(false);
    if (!run.ready || !memoryHost::install()) {
        state.SkipWithError("the data set or the host could not be prepared");
        return;
    }
    requestThreadCount(static_cast<int>(state.range(0)));
    // A set-up of its own: a run links its entries to the files of its own context,
    // which are gone after the run.
    AnalysisSetup setup = run.setup;
    setup.outputPrefix = run.folder + "/P";
    for (auto _ : state) {
        AnalysisContext context;
        if (runAnalysis(context, setup, run.errors) != 1) {
            state.SkipWithError("the run failed");
            break;
        }
    }
    requestThreadCount(0);
}
BENCHMARK(wholeRun)->ArgName("threads")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0);

void surrogates(benchmark::State& state) {
    BenchRun& run = benchRun(false);
    if (!run.ready) {
        state.SkipWithError("the data set could not be prepared");
        return;
    }
    run.context.options.threads = static_cast<int>(state.range(0));
    run.context.work.workers = std::make_unique<WorkerTeam>(static_cast<int>(state.range(0)) - 1);
    for (auto _ : state) benchmark::DoNotOptimize(generateSurrogates(run.context, run.setup, run.errors));
    run.context.work.workers.reset();
    run.context.options = EngineOptions{};
}
BENCHMARK(surrogates)->ArgName("threads")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// Sorting the magnitudes of one map (56,000 values), as the FDR search does for
// each map and its null map: std::sort against the radix sort of stats/sorting.h
// (same arrays).
void sortMagnitudes(benchmark::State& state) {
    const bool radix = state.range(0) == 1;
    Noise noise{5u};
    std::vector<float> values(56000);
    for (float& v : values) v = std::fabs(noise.next()) * 0.3f;
    std::vector<float> work(values.size()), scratch(values.size());
    for (auto _ : state) {
        work = values;
        if (radix)
            sortAscending(work.data(), work.size(), scratch.data());
        else
            std::sort(work.begin(), work.end());
        benchmark::DoNotOptimize(work.data());
    }
    state.SetLabel(radix ? "radix" : "std::sort");
}
BENCHMARK(sortMagnitudes)->ArgName("radix")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// One block of voxels (interval of 391 volumes, p = 1 or 3) through one lane
// kernel, with 1 or 10 surrogate draws per voxel: the per-voxel work of the fast
// pass without reading or drawing.
void laneBlock(benchmark::State& state) {
    const std::vector<LaneKernel> kernels = availableLaneKernels();
    const auto which = static_cast<std::size_t>(state.range(0));
    if (which >= kernels.size()) {
        state.SkipWithError("kernel not available on this processor");
        return;
    }
    const LaneKernel& kernel = kernels[which];
    state.SetLabel(kernel.name);
    const int32_t p = static_cast<int32_t>(state.range(1));
    const auto draws = static_cast<int32_t>(state.range(2));
    const int32_t lanes = kernel.blockLanes;
    const int32_t length = 391;

    Noise noise{99u};
    std::vector<float> voxels(static_cast<std::size_t>(lanes) * kVolumes);
    for (float& v : voxels) v = 1000.0f + 10.0f * noise.next();
    std::vector<float> regressor(length), reference(length), referenceLags(static_cast<std::size_t>(p) + 1);
    float stt = 0.0f;
    core::detrendRegressors(length, regressor.data(), stt);
    std::vector<float> raw(length);
    for (float& v : raw) v = noise.next();
    core::detrendRow(raw.data(), length, reference.data());
    for (int32_t k = 0; k <= p; ++k) referenceLags[static_cast<std::size_t>(k)] = core::dot(reference.data() + k, reference.data(), length - k);
    std::vector<float> surrogate(static_cast<std::size_t>(lanes) * length);
    std::vector<float> surrogateLags(static_cast<std::size_t>(lanes) * (p + 1));
    for (int32_t lane = 0; lane < lanes; ++lane) {
        for (float& v : raw) v = noise.next();
        float* row = surrogate.data() + static_cast<std::size_t>(lane) * length;
        core::detrendRow(raw.data(), length, row);
        for (int32_t k = 0; k <= p; ++k) surrogateLags[static_cast<std::size_t>(lane * (p + 1) + k)] = core::dot(row + k, row, length - k);
    }

    LaneEntry entry;
    entry.blockLength = length;
    entry.isFloat = true;
    LaneInterval interval;
    interval.entry = 0;
    interval.start = 0;
    interval.length = length;
    interval.reciprocal = 1.0f / static_cast<float>(length);
    interval.regressor = regressor.data();
    interval.regressorSquares = stt;
    interval.reference = reference.data();
    interval.referenceLags = referenceLags.data();
    LanePass lanePass;
    lanePass.order = p;
    lanePass.entryCount = 1;
    lanePass.entries = &entry;
    lanePass.intervalCount = 1;
    lanePass.intervals = &interval;
    lanePass.longestInterval = length;
    lanePass.draws = draws;

    // Every draw takes the same rows (the work does not depend on their values).
    std::vector<const void*> rows(static_cast<std::size_t>(lanes));
    const auto slots = static_cast<std::size_t>(draws * lanes);
    std::vector<const float*> surrogateRows(slots), lagRows(slots);
    for (int32_t lane = 0; lane < lanes; ++lane)
        rows[static_cast<std::size_t>(lane)] = voxels.data() + static_cast<std::size_t>(lane) * kVolumes + 4;
    for (std::size_t slot = 0; slot < slots; ++slot) {
        const std::size_t lane = slot % static_cast<std::size_t>(lanes);
        surrogateRows[slot] = surrogate.data() + lane * length;
        lagRows[slot] = surrogateLags.data() + lane * static_cast<std::size_t>(p + 1);
    }
    LaneBlock block;
    block.lanes = lanes;
    block.rows = rows.data();
    block.surrogates = surrogateRows.data();
    block.surrogateLags = lagRows.data();

    std::vector<float> scratch(kernel.scratchFloats(lanePass) + kLaneScratchAlignment);
    auto* aligned = reinterpret_cast<float*>((reinterpret_cast<std::uintptr_t>(scratch.data()) + kLaneScratchAlignment - 1) &
                                             ~(kLaneScratchAlignment - 1));
    std::vector<LaneResults> results(static_cast<std::size_t>(draws));
    for (auto _ : state) {
        kernel.processBlock(lanePass, block, aligned, results.data());
        benchmark::DoNotOptimize(results.back().values[3][0]);
    }
    state.SetItemsProcessed(state.iterations() * lanes);
    // Seconds per voxel (shown with an SI prefix, n = nanoseconds).
    state.counters["time/voxel"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * lanes, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(laneBlock)->ArgNames({"kernel", "p", "draws"})->ArgsProduct({{0, 1, 2}, {1, 3}, {1, 10}});

}  // namespace
