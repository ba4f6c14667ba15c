#include "fits/circle_fit.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "base/fault.hpp"
#include "fits/lsq_error.hpp"

namespace {

using tondra::fit_lsq;
using tondra::fit_lsq_report;
using Vec = std::vector<double>;

// Published geometric least-squares centres, to the digits given.
constexpr double kPublishedDigits = 1e-6;
// Nelder-Mead stops on the spread of its vertex costs, which is flat near the minimum; it is held
// to 1e-6 of the radius (about 28 for the arc data) rather than to the published digits.
constexpr double kArcRadiusTolerance = 28.0 * 1e-6;

const Vec kGgsX = {1, 2, 5, 7, 9, 3};
const Vec kGgsY = {7, 6, 8, 7, 5, 7};
const Vec kArcX = {36, 36, 19, 18, 33, 26};
const Vec kArcY = {14, 10, 28, 31, 18, 26};

TEST(FitLsq, NelderMeadFindsThePublishedCentres) {
  const Vec ggs = fit_lsq(kGgsX, kGgsY, "nelder_mead");
  EXPECT_NEAR(ggs[0], 4.739782, kPublishedDigits);
  EXPECT_NEAR(ggs[1], 2.983533, kPublishedDigits);
  const Vec arc = fit_lsq(kArcX, kArcY, "nelder_mead");
  EXPECT_NEAR(arc[0], 9.887566, kArcRadiusTolerance);
  EXPECT_NEAR(arc[1], 3.687497, kArcRadiusTolerance);
}

TEST(FitLsq, UnknownMethodsAreNotImplemented) {
  for (const char* method : {"LBFGS", "Nelder-Mead", "", "nelder_mead "}) {
    try {
      (void)fit_lsq(kGgsX, kGgsY, method);
      ADD_FAILURE() << method;
    } catch (const tondra::base::Fault& f) {
      EXPECT_EQ(f.message(), "not yet implemented");
    }
  }
}

TEST(FitLsq, NelderMeadOnNoPointsStopsBeforeItsFirstIterationWithNan) {
  const tondra::LsqReport r = fit_lsq_report({}, {}, "nelder_mead");
  EXPECT_TRUE(std::isnan(r.centre[0]) && std::isnan(r.centre[1]));
  EXPECT_EQ(r.iterations, 0u);
  EXPECT_EQ(r.termination, "Terminated(Converged)");
}

TEST(LsqError, DebugTextWrapsTheOptimiserError) {
  const tondra::LSQError e{tondra::optim::OptimError::invalid_parameter("bad")};
  EXPECT_EQ(debug_text(e), "LSQError(Invalid parameter: \"bad\")");
}

}  // namespace

namespace {

// A 20-point arc of 120 degrees with a little deterministic noise: the small fit that is the
// common case. Iterations and evaluation counts are part of the result; these are the figures of
// the solvers before their evaluations shared a pass over the points.
TEST(FitLsqReport, CountsOnASmallArcArePinned) {
  std::vector<double> xs;
  std::vector<double> ys;
  for (int i = 0; i < 20; ++i) {
    const double t = 0.3 + 2.0943951023931953 * i / 19.0;
    xs.push_back(100 + 20 * std::cos(t) + 0.01 * ((i * 7) % 5 - 2));
    ys.push_back(-40 + 20 * std::sin(t) + 0.01 * ((i * 3) % 5 - 2));
  }
  const tondra::LsqReport lbfgs = tondra::fit_lsq_report(xs, ys, "lbfgs");
  EXPECT_EQ(lbfgs.iterations, 13u);
  EXPECT_EQ(lbfgs.cost_count, 26u);
  EXPECT_EQ(lbfgs.gradient_count, 39u);
  EXPECT_EQ(lbfgs.termination, "Terminated(Converged)");
  const tondra::LsqReport nm = tondra::fit_lsq_report(xs, ys, "nelder_mead");
  EXPECT_EQ(nm.iterations, 558u);
  EXPECT_EQ(nm.cost_count, 1033u);
  EXPECT_EQ(nm.gradient_count, 0u);
  EXPECT_EQ(nm.termination, "Terminated(Converged)");
}

}  // namespace
