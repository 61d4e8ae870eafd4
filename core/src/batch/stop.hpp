// A long element's look at its batch's interrupt (tarvik/batch.hpp's
// Interrupt), for elements that compute for up to seconds (an American put
// with cash dividends), so that Ctrl-C need not wait for them to end.
#pragma once

namespace tarvik::batch {

// Whether the batch this thread works for has been stopped: false outside a
// batch that may be interrupted. On the batch's calling thread it first asks
// the interrupt, at most once per Interrupt::kPollPeriodMs, as the batch does
// between its slices. An element that finds it true may end at once with any
// error: the batch's output is not returned.
bool stop_requested();

}  // namespace tarvik::batch
