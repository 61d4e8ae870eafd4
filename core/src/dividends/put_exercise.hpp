// The American put with r > 0 and q >= 0 on a stock that pays cash dividends
// (put_exercise.cpp): exercised between ex-dates, where the recursion of
// recursion.cpp, which exercises only just before them, cannot go.
#pragma once

#include <vector>

#include "tarvik/errors.hpp"

namespace tarvik::dividends {

// A price and its first two derivatives in x = ln S_0.
struct Slopes {
  double value, dx, dxx;
};

// The put of strike K, maturity T, rate r > 0, yield q >= 0, volatility
// vol > 0, with the dividends d_i at 0 < t_i <= T (increasing, d_i > 0),
// at spot S_0 > 0.
struct DividendPut {
  double strike, maturity, rate, yield, vol;
  const std::vector<double>& t;
  const std::vector<double>& d;
};
Result<Slopes> american_put_slopes(const DividendPut& o, double spot);

// While one lives, every american_put_slopes on this thread draws its work
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
