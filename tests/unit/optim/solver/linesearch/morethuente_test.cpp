#include "optim/solver/linesearch/morethuente.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using tondra::optim::cstep;
using tondra::optim::OptimErrorKind;
using tondra::optim::StepPoint;
using tondra::optim::StepUpdate;

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMinStep = 1.4901161193847656e-08;  // 2^-26, the search's default lower bound

StepUpdate step_of(tondra::optim::OptimResult<StepUpdate> r) {
  EXPECT_TRUE(r.has_value()) << r.error().message();
  return r.value();
}

// Every row of this group carries a hand-worked expected step.
TEST(Cstep, HigherTrialBracketsAndTakesTheCubicStep) {
  const StepPoint best{0, 0, -1}, trial{1, 0.5, 2};
  const StepUpdate u = step_of(cstep(best, best, trial, false, kMinStep, 5));
  EXPECT_EQ(u.best, best);
  EXPECT_EQ(u.other, trial);
  EXPECT_EQ(u.trial, (StepPoint{0.3333333333333333, 0.5, 2}));
  EXPECT_TRUE(u.bracketed);
  EXPECT_EQ(u.status, 1u);
  EXPECT_EQ(u.lower, kMinStep);
  EXPECT_EQ(u.upper, 5.0);
}

TEST(Cstep, OppositeSlopesBracketBetweenTrialAndOldBest) {
  const StepPoint best{0, 0, -1}, trial{1, -0.2, 0.5};
  const StepUpdate u = step_of(cstep(best, best, trial, false, kMinStep, 5));
  EXPECT_EQ(u.best, trial);
  EXPECT_EQ(u.other, best);
  EXPECT_EQ(u.trial, (StepPoint{0.6195238571523833, -0.2, 0.5}));
  EXPECT_TRUE(u.bracketed);
  EXPECT_EQ(u.status, 2u);
}

TEST(Cstep, ShrinkingSlopeExtrapolatesWithoutBracketing) {
  const StepPoint best{0, 0, -6}, trial{1, -5, -4};
  const StepUpdate u = step_of(cstep(best, best, trial, false, kMinStep, 5));
  EXPECT_EQ(u.best, trial);
  EXPECT_EQ(u.other, best);
  EXPECT_EQ(u.trial, (StepPoint{3.0, -5, -4}));
  EXPECT_FALSE(u.bracketed);
  EXPECT_EQ(u.status, 3u);
}

TEST(Cstep, SteepeningSlopeJumpsToTheUpperBound) {
  const StepPoint best{0, 0, -1}, trial{1, -2, -3};
  const StepUpdate u = step_of(cstep(best, best, trial, false, kMinStep, 5));
  EXPECT_EQ(u.best, trial);
  EXPECT_EQ(u.other, best);
  EXPECT_EQ(u.trial, (StepPoint{5.0, -2, -3}));
  EXPECT_FALSE(u.bracketed);
  EXPECT_EQ(u.status, 4u);
}

TEST(Cstep, SteepeningSlopeInsideABracketInterpolatesTowardOther) {
  const StepPoint best{0, 0, -1}, other{2, 1, 1}, trial{1, -0.5, -1.5};
  const StepUpdate u = step_of(cstep(best, other, trial, true, 0, 2));
  EXPECT_EQ(u.best, trial);
  EXPECT_EQ(u.other, other);
  EXPECT_EQ(u.trial, (StepPoint{1.1287795170958572, -0.5, -1.5}));
  EXPECT_TRUE(u.bracketed);
  EXPECT_EQ(u.status, 4u);
}

TEST(Cstep, UphillTrialIsReturnedUnchangedWithStatusZero) {
  const StepPoint best{0, 0, 1}, trial{1, 0, 1};
  const StepUpdate u = step_of(cstep(best, best, trial, false, kMinStep, 5));
  EXPECT_EQ(u.best, best);
  EXPECT_EQ(u.other, best);
  EXPECT_EQ(u.trial, trial);
  EXPECT_FALSE(u.bracketed);
  EXPECT_EQ(u.status, 0u);
}

TEST(Cstep, RejectsATrialOutsideTheBracketAndCrossedBounds) {
  const StepPoint best{0, 0, -1}, other{2, 1, 1};
  for (const double t : {0.0, 2.0, 3.0}) {
    const StepUpdate u = step_of(cstep(best, other, StepPoint{t, -1, -1}, true, 0, 2));
    EXPECT_EQ(u.status, 0u) << t;
    EXPECT_EQ(u.trial.step, t);
    EXPECT_TRUE(u.bracketed);
  }
  EXPECT_EQ(step_of(cstep(best, best, StepPoint{1, -1, -1}, false, 3, 2)).status, 0u);
}

TEST(Cstep, StaysWithinTheBoundsOnAllFiniteInputs) {
  // Whatever the case, the next step lies in [lower, upper], and inside a bracket it stays
  // strictly between the ends.
  const double values[] = {-2.0, -0.5, 0.0, 0.5, 2.0};
  const double slopes[] = {-3.0, -1.0, -0.25, 0.25, 1.0, 3.0};
  for (const double ft : values) {
    for (const double dt : slopes) {
      const auto r = cstep({0, 0, -1}, {0, 0, -1}, {1, ft, dt}, false, kMinStep, 5);
      ASSERT_TRUE(r.has_value());
      EXPECT_GE(r.value().trial.step, kMinStep);
      EXPECT_LE(r.value().trial.step, 5.0);
      const auto b = cstep({0, 0, -1}, {2, 1, 1}, {1, ft, dt}, true, 0, 2);
      ASSERT_TRUE(b.has_value());
      EXPECT_GT(b.value().trial.step, 0.0) << ft << " " << dt;
      EXPECT_LT(b.value().trial.step, 2.0) << ft << " " << dt;
    }
  }
}

TEST(Cstep, NonFiniteTermsFailWithTheTextOfTheirCase) {
  const char* plain = "MoreThuenteLineSearch: NaN or Inf encountered during iteration";
  const char* quoted = "`MoreThuenteLineSearch`: NaN or Inf encountered during iteration";
  const StepPoint best{0, 0, -1};
  struct Row {
    StepPoint other;
    StepPoint trial;
    bool bracketed;
    const char* text;
  };
  const Row rows[] = {
      {best, {1, 1, kInf}, false, plain},         // case 1, infinite slope
      {best, {1, kInf, 1}, false, plain},         // case 1, infinite theta
      {best, {1, -1, kInf}, false, plain},        // case 2
      {best, {1, -kInf, -0.5}, false, quoted},    // case 3, infinite theta
      {{2, 1, kInf}, {1, -1, -2}, true, plain},   // case 4 bracketed, infinite slope at other
  };
  for (const Row& row : rows) {
    const auto r = cstep(best, row.other, row.trial, row.bracketed, 0, 5);
    ASSERT_FALSE(r.has_value()) << row.trial.value << " " << row.trial.slope;
    EXPECT_EQ(r.error().kind, OptimErrorKind::ConditionViolated);
    EXPECT_EQ(r.error().text, row.text);
  }
}

TEST(Cstep, NanTrialSlopeUnbracketedJumpsToTheBoundUnchecked) {
  // A NaN slope passes neither the sign nor the magnitude test, so the last case applies, and
  // unbracketed it looks at no slope at all.
  const auto r = cstep({0, 0, -1}, {0, 0, -1}, {1, -1, kNan}, false, 0, 5);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r.value().status, 4u);
  EXPECT_EQ(r.value().trial.step, 5.0);
}

}  // namespace
