// American options on a stock that pays cash dividends, exercised between
// ex-dates (exercise_boundary.cpp), where the recursion of recursion.cpp, which
// exercises only just before them, cannot go: puts with r > 0 and q >= 0,
// calls with q > 0 and r >= 0.
#pragma once

#include <vector>

#include "tarvik/errors.hpp"

namespace tarvik::dividends {

// A price and its first two derivatives in x = ln S_0.
struct Slopes {
  double value, dx, dxx;
};

// The American option of strike K, maturity T, volatility vol > 0, with the
// dividends d_i at 0 < t_i <= T (increasing, d_i > 0), at spot S_0 > 0: a
// put with rate r > 0 and yield q >= 0, or a call with q > 0 and r >= 0.
struct DividendAmerican {
  double strike, maturity, rate, yield, vol;
  bool call;
  const std::vector<double>& t;
  const std::vector<double>& d;
};
Result<Slopes> american_slopes_between(const DividendAmerican& o, double spot);

// While one lives, every american_slopes_between on this thread draws its work
// from one allowance (past it: no_convergence), so that a computation of
// many prices (an implied volatility's search, the Greeks' differences)
// stays within seconds as one price does.
class SharedWork {
 public:
  explicit SharedWork(double terms);
  ~SharedWork();
  SharedWork(const SharedWork&) = delete;
  SharedWork& operator=(const SharedWork&) = delete;

 private:
  double left_, initial_ = 0.0;
  double* outer_;
};

}  // namespace tarvik::dividends
