// The kernels of every batch operation of batch/ops.hpp, instantiated
// here once: a caller of the core sees their declarations only.
#include <cstdint>
#include <span>

#include "batch/run.hpp"
#include "tarvik/batch.hpp"
#include "batch/ops.hpp"

namespace tarvik::batch {

// The values and the error codes of an operation.
#define TARVIK_KERNEL(Op)                                                                     \
  template Status run<ops::Op>(const Inputs<ops::Op::kInputs>&, Exec, OutView, Interrupt*);   \
  template Status run<ops::Op>(const Inputs<ops::Op::kInputs>&, Exec, std::span<std::int8_t>, \
                               Interrupt*)
// The fields of a record operation.
#define TARVIK_RECORD_KERNEL(Op)                                             \
  template Status run_fields<ops::Op>(const Inputs<ops::Op::kInputs>&, Exec, \
                                      std::span<const OutView, ops::Op::kFields>, Interrupt*)

TARVIK_KERNEL(NormPdf);
TARVIK_KERNEL(NormCdf);
TARVIK_KERNEL(NormCdfC);
TARVIK_KERNEL(BlackPrice);
TARVIK_KERNEL(BlackScholesPrice);
TARVIK_KERNEL(ImpliedVolatility);
TARVIK_KERNEL(NormalisedImpliedVolatility);
TARVIK_KERNEL(Delta);
TARVIK_KERNEL(Gamma);
TARVIK_KERNEL(Vega);
TARVIK_KERNEL(Theta);
TARVIK_KERNEL(Vomma);
TARVIK_KERNEL(Vanna);
TARVIK_KERNEL(BlackScholesDelta);
TARVIK_KERNEL(BlackScholesGamma);
TARVIK_KERNEL(BlackScholesVega);
TARVIK_KERNEL(BlackScholesTheta);
TARVIK_KERNEL(BlackScholesVomma);
TARVIK_KERNEL(BlackScholesVanna);
TARVIK_KERNEL(BlackScholesRho);
TARVIK_KERNEL(BlackScholesDividendRho);
TARVIK_KERNEL(BlackScholesImpliedVolatility);
TARVIK_KERNEL(BlackImpliedVolatility);
TARVIK_KERNEL(BachelierPrice);
TARVIK_KERNEL(BachelierDelta);
TARVIK_KERNEL(BachelierGamma);
TARVIK_KERNEL(BachelierVega);
TARVIK_KERNEL(BachelierTheta);
TARVIK_KERNEL(BachelierVanna);
TARVIK_KERNEL(BachelierVomma);
TARVIK_KERNEL(BachelierImpliedVolatility);
TARVIK_KERNEL(AmericanPrice);
TARVIK_KERNEL(AmericanImpliedVolatility);
TARVIK_KERNEL(EuropeanPrice);
TARVIK_KERNEL(EuropeanImpliedVolatility);
TARVIK_KERNEL(DiscountFactor);
TARVIK_KERNEL(UndiscountedPrice);
TARVIK_KERNEL(DiscountedTheta);
TARVIK_KERNEL(BlackScholesForward);
TARVIK_RECORD_KERNEL(BlackGreeks);
TARVIK_RECORD_KERNEL(BlackScholesGreeks);
TARVIK_RECORD_KERNEL(BachelierGreeks);
TARVIK_RECORD_KERNEL(AmericanGreeks);
TARVIK_RECORD_KERNEL(EuropeanGreeks);

}  // namespace tarvik::batch
