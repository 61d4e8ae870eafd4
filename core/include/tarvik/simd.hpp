// The normal functions over whole runs of values, element by element with
// exactly the scalar expressions.
#pragma once

#include "tarvik/vector.hpp"

namespace tarvik {

Status norm_pdf_slice(InView x, OutView out);
Status norm_cdf_slice(InView x, OutView out);
Status norm_cdf_c_slice(InView x, OutView out);

}  // namespace tarvik
