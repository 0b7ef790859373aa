// The model order chosen from the data: coupling planted at lag 2 is found as
// order 2, and plain lag-1 dynamics as order 1.
#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/engine.h"
#include "engine/order_selection.h"
#include "engine/slice_source.h"

using namespace ldi;

namespace {

constexpr int32_t kVolumes = 300;

// A grid of voxels held in memory, every voxel's time course given.
class SeriesSource : public SliceSource {
public:
  SeriesSource(GridSize grid, std::vector<std::vector<float>> series)
      : grid_(grid), series_(std::move(series)) {}
  const std::string &name() const override { return name_; }
  int32_t numVolumes() const override { return kVolumes; }
  bool holdsFloats() const override { return true; }
  int32_t sliceValueCount() const override {
    return grid_.dimX * grid_.dimY * kVolumes;
  }
  int64_t sliceBytes() const override { return int64_t{4} * sliceValueCount(); }
  void allocateSlice(SliceValues &slice) const override {
    slice.floats =
        makeLargeArray<float>(static_cast<std::size_t>(sliceValueCount()));
    slice.capacity = sliceValueCount();
  }
  bool readSlice(int32_t z, SliceValues &slice) override {
    std::size_t at = 0;
    const std::size_t first =
        static_cast<std::size_t>(z) * grid_.dimX * grid_.dimY;
    for (std::size_t v = first;
         v < first + static_cast<std::size_t>(grid_.dimX * grid_.dimY); ++v)
      for (float value : series_[v])
        slice.floats[at++] = value;
    return true;
  }

private:
  std::string name_ = "memory";
  GridSize grid_;
  std::vector<std::vector<float>> series_;
};

// The seed r(t) = a1 r(t-1) + a2 r(t-2) + e(t), and per voxel
// v(t) = 0.3 v(t-1) + c r(t - lag) + noise, around a baseline of 1000.
OrderSelection chooseOrder(double a1, double a2, double coupling, int lag) {
  GridSize grid;
  grid.dimX = 8;
  grid.dimY = 8;
  grid.dimZ = 2;
  const std::size_t voxels = 8 * 8 * 2;
  std::mt19937 generator(11);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::vector<double> r(kVolumes + 2, 0.0);
  for (std::size_t t = 2; t < r.size(); ++t)
    r[t] = a1 * r[t - 1] + a2 * r[t - 2] + normal(generator);
  std::vector<std::vector<float>> series(voxels, std::vector<float>(kVolumes));
  for (std::size_t v = 0; v < voxels; ++v) {
    double own = 0.0;
    for (int32_t t = 0; t < kVolumes; ++t) {
      const std::size_t now = static_cast<std::size_t>(t) + 2;
      own = 0.3 * own + coupling * r[now - static_cast<std::size_t>(lag)] +
            normal(generator);
      series[v][static_cast<std::size_t>(t)] =
          static_cast<float>(1000.0 + 10.0 * own);
    }
  }
  SeriesSource source(grid, series);
  VoiTimeCourse reference;
  reference.meanTimeCourse = Matrix(1, kVolumes, 1, 1);
  for (int32_t t = 0; t < kVolumes; ++t)
    *reference.meanTimeCourse.at(1, t + 1) =
        static_cast<float>(1000.0 + 10.0 * r[static_cast<std::size_t>(t) + 2]);

  GlobalParameters parameters;
  std::vector<uint8_t> mask(voxels, 1);
  EngineInput input;
  input.parameters = &parameters;
  input.grid = grid;
  input.sources = {&source};
  input.seeds = {EngineSeed{"Seed", {&reference}}};
  EngineEntry entry;
  entry.source = entry.target = 0;
  for (int32_t first = 1; first <= kVolumes; first += 50)
    entry.intervals.push_back(Interval{first, first + 49});
  input.conditions = {EngineCondition{"Task", {entry}}};
  input.voxelMask = &mask;

  OrderSelection selection;
  std::ostringstream errors;
  EXPECT_TRUE(selectModelOrder(input, 8, 100, selection, errors))
      << errors.str();
  return selection;
}

} // namespace

TEST(OrderSelection, CouplingPlantedAtLagTwoGivesOrderTwo) {
  const OrderSelection selection = chooseOrder(0.5, -0.3, 0.8, 2);
  ASSERT_EQ(selection.table.size(), 8u);
  EXPECT_EQ(selection.chosen, 2);
  // The sample keeps every k-th voxel: 128 analysed, at most 100 kept.
  EXPECT_EQ(selection.sampledPairs, 64);
  EXPECT_EQ(selection.timePoints, kVolumes);
  // BIC charges ln 300 per coefficient, AIC 2.
  for (const OrderCriteria &row : selection.table)
    EXPECT_LT(row.medianAic, row.medianBic);
}

TEST(OrderSelection, LagOneDynamicsGiveOrderOne) {
  EXPECT_EQ(chooseOrder(0.4, 0.0, 0.6, 1).chosen, 1);
}
