// The normal functions over whole runs of values. Each element is the scalar
// function of the same value, evaluated on its own; no lane-parallel variant
// of the arithmetic is used, so results match the scalar functions bit for bit.
#include "tarvik/simd.hpp"

#include "tarvik/normal.hpp"

namespace tarvik {

namespace {

template <double (*F)(double)>
Status apply_each(InView x, OutView out) {
  if (x.size() != out.size()) {
    return IVError::invalid_input("input and output slices must have equal length");
  }
  const double* in = x.data();
  double* dst = out.data();
  for (std::size_t i = 0, n = x.size(); i < n; ++i) dst[i] = F(in[i]);
  return std::nullopt;
}

}  // namespace

Status norm_pdf_slice(InView x, OutView out) { return apply_each<norm_pdf>(x, out); }
Status norm_cdf_slice(InView x, OutView out) { return apply_each<norm_cdf>(x, out); }
Status norm_cdf_c_slice(InView x, OutView out) { return apply_each<norm_cdf_c>(x, out); }

}  // namespace tarvik
