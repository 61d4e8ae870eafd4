// One node's integrals of an FP-B sweep of the American boundary
// (core/src/american/boundary.cpp) over its row of quadrature points, W
// points at a time: each point's arguments and terms in vector lanes, a lane
// the scalar operations, the row's tail on doubles; exp (correctly rounded,
// the scalar function's bits) in a pass of its own between them; the sums in
// point order.
// So every width gives the same bits. And one sweep's interpolation of the
// boundary from its nodes to its points, and the two-boundary sweep's
// distribution terms.
//
// Each path includes this header into its own translation unit, built with
// its target flags; everything here has internal linkage and is always
// inlined (tools/check-lane-symbols.sh).
#pragma once

#include <cmath>
#include <cstddef>

#include "lanes/elementary_lanes.hpp"
#include "lanes/lanes.hpp"
#include "lanes/lists.hpp"
#include "special/erfcx.hpp"
#include "special/value.hpp"
#include "tarvik/normal.hpp"

namespace tarvik::lanes {
namespace {

// A point's arguments: d+ and the exponents of r's integrand and of phi(d+).
template <class V>
[[gnu::always_inline]] inline void american_point_arguments(const AmericanRow& row, int k, double g,
                                                            double* d_plus, double* rate_e,
                                                            double* pdf_e) {
  const V stored = load<V>(row.h + k);
  const V hu = rational::select(stored > 0.0, stored, 0.0);
  const V dp = ((g + rational::sqrt_of(hu)) + load<V>(row.drift + k)) * load<V>(row.inv_sv + k);
  const V dm = dp - load<V>(row.sv + k);
  store(d_plus + k, dp);
  store(rate_e + k, load<V>(row.rate_exponent + k) + tarvik::detail::norm_pdf_exponent(dm));
  store(pdf_e + k, tarvik::detail::norm_pdf_exponent(dp));
}

// A point's term of q's integrand, over e = exp(-d+^2 / 2) in place: with
// Phi(d+), or -Phi(-d+) where the row takes the complementary form.
template <class V>
[[gnu::always_inline]] inline void american_point_yield_term(const AmericanRow& row, int k,
                                                             const double* d_plus, double* pdf_e) {
  const V e = load<V>(pdf_e + k);
  const V dp = load<V>(d_plus + k);
  const V phi = row.complement ? -rational::norm_cdf_given_density(-dp, e)
                               : rational::norm_cdf_given_density(dp, e);
  store(pdf_e + k,
        load<V>(row.yield_weight + k) * (phi + (e * kInvSqrtTwoPi) * load<V>(row.inv_sv + k)));
}

template <int W>
[[gnu::always_inline]] inline AmericanIntegrals american_row_loop(const AmericanRow& row, int size,
                                                                  double g, bool yield) {
  using Lane = typename Vectors<W>::D;
  double* d_plus = row.scratch;
  double* rate_e = row.scratch + size;
  double* pdf_e = row.scratch + 2 * size;
  int k = 0;
  for (; k + W <= size; k += W) american_point_arguments<Lane>(row, k, g, d_plus, rate_e, pdf_e);
  for (; k < size; ++k) american_point_arguments<double>(row, k, g, d_plus, rate_e, pdf_e);
  each_lane<W>(rate_e, static_cast<std::size_t>(size), rate_e, kExpLanes);
  AmericanIntegrals sums{0.0, 0.0};
  for (k = 0; k < size; ++k) sums.rate += row.rate_density[k] * rate_e[k];
  if (!yield) return sums;
  each_lane<W>(pdf_e, static_cast<std::size_t>(size), pdf_e, kExpLanes);
  for (k = 0; k + W <= size; k += W) american_point_yield_term<Lane>(row, k, d_plus, pdf_e);
  for (; k < size; ++k) american_point_yield_term<double>(row, k, d_plus, pdf_e);
  for (k = 0; k < size; ++k) sums.yield += pdf_e[k];
  return sums;
}

// The two-boundary sweep's distribution terms (american_region_cdf,
// kernels.def): out[k] = Phi(-d+(Y)) + Phi(d+(B)) from the densities'
// exponentials, W points at a time, the row's tail on doubles.
template <class V>
[[gnu::always_inline]] inline void american_region_point(const double* dpb, const double* dpy,
                                                         const double* eb, const double* ey,
                                                         std::size_t k, double* out) {
  store(out + k, rational::norm_cdf_given_density(-load<V>(dpy + k), load<V>(ey + k)) +
                     rational::norm_cdf_given_density(load<V>(dpb + k), load<V>(eb + k)));
}
template <int W>
[[gnu::always_inline]] inline void american_region_cdf_loop(const double* dpb, const double* dpy,
                                                            const double* eb, const double* ey,
                                                            std::size_t n, double* out) {
  using Lane = typename Vectors<W>::D;
  std::size_t k = 0;
  for (; k + W <= n; k += W) american_region_point<Lane>(dpb, dpy, eb, ey, k, out);
  for (; k < n; ++k) american_region_point<double>(dpb, dpy, eb, ey, k, out);
}

// One sweep's interpolation (american_interpolate, kernels.def): a block of
// kAmericanInterpolationBlock points summed over j in registers, a lane a
// point, each point the same products and sums in the same order, j = 0
// first, at every width, so the same bits. At most four lanes: at eight
// (one chain of sums a block) a price took 20% longer on AVX-512.
template <int W>
[[gnu::always_inline]] inline void american_interpolate_blocks(const double* weight,
                                                               const double* h, int n,
                                                               std::size_t padded, double* out) {
  constexpr int kWidth = W < 4 ? W : 4;
  constexpr std::size_t kPoints = kAmericanInterpolationBlock;
  constexpr std::size_t kLanes = kPoints / kWidth;
  using Lane = typename Vectors<kWidth>::D;
  for (std::size_t block = 0; block < padded; block += kPoints) {
    Lane sums[kLanes] = {};
    for (int j = 0; j < n; ++j, weight += kPoints) {
      Lane hj;
      for (int m = 0; m < kWidth; ++m) hj[m] = h[j];
      for (std::size_t m = 0; m < kLanes; ++m) {
        sums[m] += load<Lane>(weight + m * kWidth) * hj;
      }
    }
    __builtin_memcpy(out + block, sums, sizeof sums);
  }
}

}  // namespace
}  // namespace tarvik::lanes
