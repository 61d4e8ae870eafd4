// The batch length rule and the choice between the calling thread and the
// worker pool.
#include "tarvik/batch.hpp"
#include "batch/run.hpp"

namespace tarvik {

Result<std::size_t> resolve_batch_len(std::span<const std::size_t> lengths) {
  bool any_empty = false;
  bool any_long = false;
  for (const std::size_t len : lengths) {
    any_empty = any_empty || len == 0;
    any_long = any_long || len >= 2;
  }
  // An empty input only combines with broadcast scalars; this test comes
  // before the mismatch test, so (0, 2, 3) reports the empty input.
  if (any_empty) {
    if (any_long)
      return IVError::invalid_input("empty input slice is only valid for an empty batch");
    return std::size_t{0};
  }
  // Every length is at least 1: the first one other than 1 is n.
  std::size_t n = 1;
  for (const std::size_t len : lengths) {
    if (len == 1) continue;
    if (n == 1) {
      n = len;
    } else if (len != n) {
      return IVError::invalid_input("slice length mismatch: inputs must be length 1 or n");
    }
  }
  return n;
}

namespace batch {

Status check_output_len(std::size_t n, std::size_t output_len) {
  if (output_len != n) {
    return IVError::invalid_input("output slice length must equal the resolved batch length");
  }
  return std::nullopt;
}

void for_each_range(Exec exec, std::size_t n, pool::RangeFn body) {
  if (exec == Exec::Parallel && n >= kParallelThreshold) {
    pool::run(n, body);
  } else if (n > 0) {
    // Small batches stay on the calling thread and never create the pool.
    body(0, n);
  }
}

}  // namespace batch
}  // namespace tarvik
