#include "engine/order_selection.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <ostream>

#include "engine/engine_input.h"
#include "engine/slice_source.h"
#include "stats/ar_model.h"
#include "stats/matrix.h"

namespace ldi {

namespace {

double median(std::vector<double> &values) {
  const std::size_t mid = values.size() / 2;
  std::nth_element(values.begin(),
                   values.begin() + static_cast<std::ptrdiff_t>(mid),
                   values.end());
  const double upper = values[mid];
  if (values.size() % 2 == 1)
    return upper;
  return 0.5 * (upper + *std::max_element(
                            values.begin(),
                            values.begin() + static_cast<std::ptrdiff_t>(mid)));
}

// Every k-th analysed voxel (grid order), at most `limit` of them.
std::vector<int64_t> sampleVoxels(const std::vector<uint8_t> &mask,
                                  int64_t limit) {
  const auto analysed =
      static_cast<int64_t>(std::count(mask.begin(), mask.end(), uint8_t{1}));
  const int64_t step = std::max<int64_t>(1, (analysed + limit - 1) /
                                                std::max<int64_t>(1, limit));
  std::vector<int64_t> voxels;
  int64_t seen = 0;
  for (std::size_t v = 0; v < mask.size(); ++v)
    if (mask[v] != 0 && seen++ % step == 0)
      voxels.push_back(static_cast<int64_t>(v));
  return voxels;
}

// The sampled voxels' time courses of every source: rows[source] has one row
// per sampled voxel (bases 0/1: a column is a 1-based volume number).
bool readSampledRows(const EngineInput &input,
                     const std::vector<int64_t> &voxels,
                     std::vector<Matrix> &rows, std::ostream &errorStream) {
  const int64_t sliceVoxels =
      static_cast<int64_t>(input.grid.dimX) * input.grid.dimY;
  rows.clear();
  for (SliceSource *source : input.sources) {
    const int32_t volumes = source->numVolumes();
    rows.emplace_back(static_cast<int32_t>(voxels.size()), volumes, 0, 1);
    Matrix &out = rows.back();
    SliceValues slice;
    source->allocateSlice(slice);
    int64_t loaded = -1;
    for (std::size_t i = 0; i < voxels.size(); ++i) {
      const int64_t z = voxels[i] / sliceVoxels;
      if (z != loaded) {
        if (!source->readSlice(static_cast<int32_t>(z), slice)) {
          errorStream << "cannot read slice " << z << " of " << source->name();
          return false;
        }
        loaded = z;
      }
      const auto cursor =
          static_cast<std::size_t>((voxels[i] - z * sliceVoxels) * volumes);
      float *row = out.at(static_cast<int32_t>(i), 1);
      for (int32_t t = 0; t < volumes; ++t)
        row[t] = source->holdsFloats()
                     ? slice.floats[cursor + static_cast<std::size_t>(t)]
                     : static_cast<float>(
                           slice.shorts[cursor + static_cast<std::size_t>(t)]);
    }
  }
  return true;
}

} // namespace

namespace {

// The longest interval a model of every order up to maxOrder can be fitted
// to; the shorter ones are counted as left out.
int32_t longestUsableInterval(const EngineInput &input, int32_t maxOrder,
                              OrderSelection &selection) {
  int32_t longest = 1;
  for (const EngineCondition &condition : input.conditions)
    for (const EngineEntry &entry : condition.entries)
      for (const Interval &interval : entry.intervals) {
        const int32_t length = interval.last - interval.first + 1;
        if (length > maxOrder)
          longest = std::max(longest, length);
        else
          ++selection.leftOutIntervals;
      }
  return longest;
}

// The fits of every order: per order, per (seed, voxel) pair, the sum over
// the conditions of N_c ln det Sigma_c; the pairs whose model failed at some
// order; the time points and the BIC penalty factors over the conditions.
struct OrderFits {
  std::vector<std::vector<double>> fitTerm;
  std::vector<uint8_t> failed;
  double totalPoints = 0.0;
  double bicPenalty = 0.0;
  bool countedPoints = false;
};

// The work objects of one order's fits.
struct OrderWork {
  OrderWork(int32_t order, int32_t longest)
      : accumulator(2, order), joint(2, order), sigma(2, 2, 0, 0),
        data(2, longest, 0, 0) {}
  CovarianceAccumulator accumulator;
  ArModelWorkspace joint;
  Matrix sigma;
  Matrix data;
};

// ln det of the joint model's residual covariance over one condition's
// intervals of a seed and a sampled voxel (v, a row of `rows`); false when
// no interval is long enough. `points` gets the time points used.
bool conditionLogDet(const EngineSeed &seed, const EngineCondition &condition,
                     const std::vector<Matrix> &rows, std::size_t v,
                     int32_t maxOrder, OrderWork &work, double &det,
                     int64_t &points) {
  clearAccumulator(work.accumulator);
  uint32_t intervals = 0;
  points = 0;
  for (const EngineEntry &entry : condition.entries) {
    const VoiTimeCourse *reference = referenceOf(seed, entry.source);
    if (reference == nullptr)
      continue;
    const Matrix &series = reference->meanTimeCourse;
    const Matrix &voxelRows = rows[static_cast<std::size_t>(entry.target)];
    for (const Interval &interval : entry.intervals) {
      const int32_t length = interval.last - interval.first + 1;
      if (length <= maxOrder)
        continue;
      detrendRows(series, series.rowBase, series.rowBase + 1, interval.first,
                  interval.last + 1, work.data, 0, 0);
      detrendRows(voxelRows, static_cast<int32_t>(v),
                  static_cast<int32_t>(v) + 1, interval.first,
                  interval.last + 1, work.data, 1, 0);
      computeLagProducts(work.accumulator, work.data, 0, 2, 0, length);
      accumulateInterval(work.accumulator, work.data, 0, 2, 0, length);
      ++intervals;
      points += length;
    }
  }
  if (intervals == 0)
    return false;
  scaleAccumulator(work.accumulator, 1.0f / static_cast<float>(intervals));
  det = 0.0;
  if (fitArModel(work.accumulator, 0, work.joint)) {
    residualCovarianceOf(work.accumulator, 0, work.joint, work.sigma);
    const Matrix &sigma = work.sigma;
    det = static_cast<double>(*sigma.at(0, 0)) * *sigma.at(1, 1) -
          static_cast<double>(*sigma.at(0, 1)) * *sigma.at(1, 0);
  }
  return true;
}

// The fit terms of one order for every (seed, voxel) pair.
void fitOrder(const EngineInput &input, const std::vector<Matrix> &rows,
              std::size_t voxelCount, int32_t order, int32_t maxOrder,
              int32_t longest, OrderFits &fits) {
  OrderWork work(order, longest);
  std::vector<double> &terms = fits.fitTerm[static_cast<std::size_t>(order - 1)];
  std::size_t pair = 0;
  for (const EngineSeed &seed : input.seeds)
    for (std::size_t v = 0; v < voxelCount; ++v, ++pair) {
      if (fits.failed.size() <= pair)
        fits.failed.resize(pair + 1, 0);
      double term = 0.0;
      for (const EngineCondition &condition : input.conditions) {
        double det = 0.0;
        int64_t points = 0;
        if (!conditionLogDet(seed, condition, rows, v, maxOrder, work, det,
                             points))
          continue;
        if (!(det > 0.0) || !std::isfinite(det))
          fits.failed[pair] = 1;
        else
          term += static_cast<double>(points) * std::log(det);
        if (!fits.countedPoints) {
          fits.totalPoints += static_cast<double>(points);
          fits.bicPenalty += std::log(static_cast<double>(points));
        }
      }
      fits.countedPoints = true;
      terms.push_back(term);
    }
}

// Each order's median AIC and BIC over the pairs whose models all held.
bool criteriaTable(const EngineInput &input, const OrderFits &fits,
                   int32_t maxOrder, OrderSelection &selection,
                   std::ostream &errorStream) {
  for (std::size_t p = 1; p <= static_cast<std::size_t>(maxOrder); ++p) {
    const double coefficients = 4.0 * static_cast<double>(p);
    std::vector<double> aic, bic;
    for (std::size_t pair = 0; pair < fits.fitTerm[p - 1].size(); ++pair) {
      if (fits.failed[pair] != 0)
        continue;
      const double term = fits.fitTerm[p - 1][pair];
      aic.push_back((term + 2.0 * coefficients *
                                static_cast<double>(input.conditions.size())) /
                    fits.totalPoints);
      bic.push_back((term + fits.bicPenalty * coefficients) /
                    fits.totalPoints);
    }
    if (aic.empty()) {
      errorStream << "no sampled voxel gives a model at every order up to "
                  << maxOrder;
      return false;
    }
    selection.sampledPairs = static_cast<int64_t>(aic.size());
    selection.table.push_back(
        OrderCriteria{static_cast<int32_t>(p), median(aic), median(bic)});
  }
  return true;
}

} // namespace

bool selectModelOrder(const EngineInput &input, int32_t maxOrder,
                      int64_t sampleVoxelCount, OrderSelection &selection,
                      std::ostream &errorStream) {
  selection = OrderSelection{};
  if (input.voxelMask == nullptr || maxOrder < 1) {
    errorStream << "no analysed voxels or no order to choose from";
    return false;
  }
  const std::vector<int64_t> voxels =
      sampleVoxels(*input.voxelMask, sampleVoxelCount);
  std::vector<Matrix> rows;
  if (!readSampledRows(input, voxels, rows, errorStream))
    return false;
  const int32_t longest = longestUsableInterval(input, maxOrder, selection);
  OrderFits fits;
  fits.fitTerm.resize(static_cast<std::size_t>(maxOrder));
  for (int32_t order = 1; order <= maxOrder; ++order)
    fitOrder(input, rows, voxels.size(), order, maxOrder, longest, fits);
  selection.timePoints = static_cast<int64_t>(fits.totalPoints);
  if (fits.totalPoints <= 0.0) {
    errorStream << "no interval is longer than the largest order " << maxOrder;
    return false;
  }
  if (!criteriaTable(input, fits, maxOrder, selection, errorStream))
    return false;
  const auto best =
      std::min_element(selection.table.begin(), selection.table.end(),
                       [](const OrderCriteria &a, const OrderCriteria &b) {
                         return a.medianBic < b.medianBic;
                       });
  selection.chosen = best->order;
  return true;
}

void writeOrderTable(const OrderSelection &selection, std::ostream &out) {
  out << "order  median AIC  median BIC   (per time point; "
      << selection.sampledPairs << " seed-voxel pairs, " << selection.timePoints
      << " time points)\n";
  for (const OrderCriteria &row : selection.table) {
    char line[96];
    std::snprintf(line, sizeof line, "%5d  %10.5f  %10.5f%s\n", row.order,
                  row.medianAic, row.medianBic,
                  row.order == selection.chosen ? "   <- lowest BIC" : "");
    out << line;
  }
}

}  // namespace ldi
