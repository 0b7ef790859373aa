// The autoregressive model order chosen from the data: for a sample of the
// analysed voxels, the bivariate model of the seed's reference time course and
// the voxel's is fitted at every order 1..maxOrder (per-interval detrending and
// the pre-windowed fit of the voxel pass), and each order is scored by the
// information criteria of that fit, summed over the conditions:
//   AIC(p) = sum_c N_c ln det Sigma_c(p) + 2 * 4p
//   BIC(p) = sum_c N_c ln det Sigma_c(p) + ln(N_c) * 4p
// (4p coefficients in the two-series model; N_c the condition's time points),
// reported per time point. The chosen order has the lowest median BIC over the
// sampled (seed, voxel) pairs. Every order is fitted to the same equations
// (intervals longer than maxOrder only), so the criteria compare like with
// like.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <vector>

namespace ldi {

struct EngineInput;

// Voxels sampled per seed when none is given: every k-th analysed voxel in
// grid order, k as small as keeps the sample at or below this size. Medians of
// thousands of voxels move by less than the differences between orders.
constexpr int64_t ORDER_SAMPLE_VOXELS = 2000;

struct OrderCriteria {
  int32_t order = 0;
  double medianAic = 0.0; // per time point
  double medianBic = 0.0; // per time point
};

struct OrderSelection {
  std::vector<OrderCriteria> table; // orders 1..maxOrder
  int32_t chosen = 0;               // lowest median BIC
  int64_t sampledPairs = 0; // (seed, voxel) pairs with a fit at every order
  int64_t timePoints = 0;   // summed over the conditions (the first seed's)
  int64_t leftOutIntervals =
      0; // not longer than maxOrder, left out of every fit
};

// Scores orders 1..maxOrder on the input's seeds, conditions and analysed
// voxels (input.voxelMask, which must be set), at most sampleVoxels voxels per
// seed. False with a message when no interval is longer than maxOrder or no
// sampled voxel gives a fit at every order.
bool selectModelOrder(const EngineInput &input, int32_t maxOrder,
                      int64_t sampleVoxels, OrderSelection &selection,
                      std::ostream &errorStream);

// The table as text, one order a line, the chosen one marked.
void writeOrderTable(const OrderSelection &selection, std::ostream &out);

}  // namespace ldi
