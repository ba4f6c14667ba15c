#include "optim/solver/linesearch/morethuente.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <span>
#include <vector>

#include "optim/core/executor.hpp"
#include "optim/test_problems.hpp"

namespace {

using tondra::optim::cstep;
using tondra::optim::Executor;
using tondra::optim::IterState;
using tondra::optim::MoreThuenteLineSearch;
using tondra::optim::OptimErrorKind;
using tondra::optim::OptimizationResult;
using tondra::optim::OptimResult;
using tondra::optim::Problem;
using tondra::optim::StepCase;
using tondra::optim::StepPoint;
using tondra::optim::StepUpdate;
using tondra::optim::TerminationReason;
using namespace tondra::optim::testing;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMinStep = 1.4901161193847656e-08;  // 2^-26, the search's default lower bound

StepUpdate step_of(OptimResult<StepUpdate> r) {
  EXPECT_TRUE(r.has_value()) << r.error().message();
  return r.value();
}

TEST(Cstep, MatchesHandWorkedStepsInEveryCase) {
  struct Row {
    StepPoint best, other, trial;
    bool bracketed;
    double lower, upper;
    StepPoint new_best, new_other;
    double new_step;
    bool bracketed_after;
    StepCase status;
  };
  // clang-format off: one row per case, laid out as the table it comes from
  const Row rows[] = {
      // higher trial: bracketed, cubic step
      {{0, 0, -1}, {0, 0, -1}, {1, 0.5, 2}, false, kMinStep, 5,
       {0, 0, -1}, {1, 0.5, 2}, 0.3333333333333333, true, StepCase::HigherValue},
      // opposite slopes: bracketed between trial and old best
      {{0, 0, -1}, {0, 0, -1}, {1, -0.2, 0.5}, false, kMinStep, 5,
       {1, -0.2, 0.5}, {0, 0, -1}, 0.6195238571523833, true, StepCase::OppositeSlopes},
      // same sign, shrinking slope: extrapolate
      {{0, 0, -6}, {0, 0, -6}, {1, -5, -4}, false, kMinStep, 5,
       {1, -5, -4}, {0, 0, -6}, 3.0, false, StepCase::ShrinkingSlope},
      // same sign, steepening slope: jump to the bound
      {{0, 0, -1}, {0, 0, -1}, {1, -2, -3}, false, kMinStep, 5,
       {1, -2, -3}, {0, 0, -1}, 5.0, false, StepCase::SteepeningToBound},
      // the same inside a bracket: interpolate toward other
      {{0, 0, -1}, {2, 1, 1}, {1, -0.5, -1.5}, true, 0, 2,
       {1, -0.5, -1.5}, {2, 1, 1}, 1.1287795170958572, true, StepCase::SteepeningInBracket},
      // uphill from best: rejected, inputs returned
      {{0, 0, 1}, {0, 0, 1}, {1, 0, 1}, false, kMinStep, 5,
       {0, 0, 1}, {0, 0, 1}, 1, false, StepCase::Rejected},
  };
  // clang-format on
  for (const Row& row : rows) {
    const StepUpdate u =
        step_of(cstep(row.best, row.other, row.trial, row.bracketed, row.lower, row.upper));
    const int row_case = static_cast<int>(row.status);
    EXPECT_EQ(u.step_case, row.status);
    EXPECT_EQ(u.best, row.new_best) << row_case;
    EXPECT_EQ(u.other, row.new_other) << row_case;
    EXPECT_EQ(u.step, row.new_step) << row_case;
    EXPECT_EQ(u.bracketed, row.bracketed_after) << row_case;
  }
}

TEST(Cstep, RejectsATrialOutsideTheBracketAndCrossedBounds) {
  const StepPoint best{0, 0, -1}, other{2, 1, 1};
  for (const double t : {0.0, 2.0, 3.0}) {
    const StepUpdate u = step_of(cstep(best, other, StepPoint{t, -1, -1}, true, 0, 2));
    EXPECT_EQ(u.step_case, StepCase::Rejected) << t;
    EXPECT_EQ(u.step, t);
    EXPECT_TRUE(u.bracketed);
  }
  EXPECT_EQ(step_of(cstep(best, best, StepPoint{1, -1, -1}, false, 3, 2)).step_case,
            StepCase::Rejected);
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
      EXPECT_GE(r.value().step, kMinStep);
      EXPECT_LE(r.value().step, 5.0);
      const auto b = cstep({0, 0, -1}, {2, 1, 1}, {1, ft, dt}, true, 0, 2);
      ASSERT_TRUE(b.has_value());
      EXPECT_GT(b.value().step, 0.0) << ft << " " << dt;
      EXPECT_LT(b.value().step, 2.0) << ft << " " << dt;
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
      {best, {1, 1, kInf}, false, plain},        // case 1, infinite slope
      {best, {1, kInf, 1}, false, plain},        // case 1, infinite theta
      {best, {1, -1, kInf}, false, plain},       // case 2
      {best, {1, -kInf, -0.5}, false, quoted},   // case 3, infinite theta
      {{2, 1, kInf}, {1, -1, -2}, true, plain},  // case 4 bracketed, infinite slope at other
  };
  for (const Row& row : rows) {
    const auto r = cstep(best, row.other, row.trial, row.bracketed, 0, 5);
    ASSERT_FALSE(r.has_value()) << row.trial.value << " " << row.trial.slope;
    EXPECT_EQ(r.error().kind, OptimErrorKind::ConditionViolated);
    EXPECT_EQ(r.error().text, row.text);
  }
}

// Runs a search from x0 along d. With `supply_start` the state carries the start cost and
// gradient, as the quasi-Newton owner supplies them.
template <class P>
OptimResult<OptimizationResult<P, MoreThuenteLineSearch>> search(P problem, std::vector<double> x0,
                                                                 std::vector<double> d,
                                                                 bool supply_start = true) {
  MoreThuenteLineSearch ls;
  ls.search_direction(std::move(d));
  const double f0 = problem.cost(x0).value();
  std::vector<double> g0 = problem.gradient(x0).value();
  Executor exec(std::move(problem), ls);
  exec.configure([&](IterState s) {
    s.with_param(x0);
    if (supply_start) s.with_gradient(g0).with_cost(f0);
    return s;
  });
  return std::move(exec).run();
}

TEST(MoreThuente, StopsAfterOneTrialWhenTheUnitStepIsAcceptable) {
  std::vector<double> trials;
  auto r = search(Curve{shifted_parabola3, shifted_parabola3_slope, &trials}, {0.0}, {1.0});
  ASSERT_TRUE(r.has_value());
  trials.erase(trials.begin());  // the helper's own evaluation of the start cost
  const IterState& s = r.value().state;
  EXPECT_EQ(trials, std::vector<double>{1.0});
  EXPECT_EQ(s.param, std::vector<double>{1.0});
  EXPECT_EQ(s.cost, -5.0);
  EXPECT_EQ(s.grad, std::vector<double>{-4.0});
  EXPECT_EQ(s.prev_cost, 0.0);
  EXPECT_FALSE(s.prev_param.has_value());
  EXPECT_FALSE(s.prev_grad.has_value());
  EXPECT_EQ(s.status.reason(), TerminationReason::Converged);
  EXPECT_EQ(s.iteration, 1u);
  EXPECT_EQ(count_of(s, tondra::optim::Evaluation::Cost), 1u);
  EXPECT_EQ(count_of(s, tondra::optim::Evaluation::Gradient), 1u);
}

TEST(MoreThuente, ExtrapolatesAtMostFourTimesTheLastAdvance) {
  std::vector<double> trials;
  auto r = search(Curve{shifted_parabola100, shifted_parabola100_slope, &trials}, {0.0}, {1.0});
  ASSERT_TRUE(r.has_value());
  trials.erase(trials.begin());
  EXPECT_EQ(trials, (std::vector<double>{1.0, 5.0, 21.0}));
  EXPECT_EQ(r.value().state.grad, std::vector<double>{-158.0});
  EXPECT_EQ(count_of(r.value().state, tondra::optim::Evaluation::Cost), 3u);
  EXPECT_EQ(count_of(r.value().state, tondra::optim::Evaluation::Gradient), 3u);
}

// Steps the search by hand so that its interval can be looked at between trials.
struct ManualSearch {
  Problem<Curve> problem;
  MoreThuenteLineSearch ls;
  IterState state;

  ManualSearch(Curve curve, double f0, double g0) : problem(curve) {
    ls.search_direction({1.0});
    state.with_param({0.0}).with_cost(f0).with_gradient({g0});
    EXPECT_TRUE(ls.init(problem, state).has_value());
  }
  bool step() {
    auto r = ls.next_iter(problem, state);
    EXPECT_TRUE(r.has_value()) << r.error().message();
    return state.status.is_terminated();
  }
};

TEST(MoreThuente, LeavesTheFirstStageOnceATrialDecreasesEnoughAndIsNotSteeper) {
  ManualSearch m(Curve{quartic_well, quartic_well_slope}, 0.0, -1.0);
  EXPECT_TRUE(m.ls.first_stage());
  ASSERT_FALSE(m.step());  // a = 1: f = -0.5, slope +1 breaks only the curvature condition
  EXPECT_FALSE(m.ls.first_stage());
  EXPECT_TRUE(m.ls.bracketed());
  EXPECT_EQ(m.ls.step_case(), StepCase::OppositeSlopes);
  EXPECT_EQ(m.ls.best(), (StepPoint{1.0, -0.5, 1.0}));
  EXPECT_EQ(m.ls.other(), (StepPoint{0.0, 0.0, -1.0}));
  while (!m.step()) {
  }
  EXPECT_FALSE(m.ls.first_stage());  // never goes back
}

TEST(MoreThuente, InterpolatesTheShiftedFunctionWhenATrialStaysAboveTheDecreaseLine) {
  std::vector<double> trials;
  constexpr double kStartSlope = -0.001;
  constexpr double kShift = 1e-4 * kStartSlope;  // slope of the sufficient-decrease line
  ManualSearch m(Curve{rippled_line, rippled_line_slope, &trials}, 0.0, kStartSlope);
  ASSERT_FALSE(m.step());  // a = 1 is far too high: bracketed
  ASSERT_FALSE(m.step());  // lower than a = 1 but still above the line: the shifted branch
  ASSERT_EQ(trials.size(), 2u);
  const double t = trials[1];
  EXPECT_GT(rippled_line(t), kShift * t);
  EXPECT_TRUE(m.ls.first_stage());
  EXPECT_EQ(m.ls.trial_cost(), rippled_line(t));
  // The next trial carries the shifted function's value and slope at t ...
  EXPECT_DOUBLE_EQ(m.ls.trial().value, rippled_line(t) - t * kShift);
  EXPECT_DOUBLE_EQ(m.ls.trial().slope, rippled_line_slope(t) - kShift);
  // ... while the interval ends hold the true function again.
  EXPECT_EQ(m.ls.other().step, t);
  EXPECT_DOUBLE_EQ(m.ls.other().value, rippled_line(t));
  EXPECT_DOUBLE_EQ(m.ls.other().slope, rippled_line_slope(t));
  EXPECT_EQ(m.ls.best(), (StepPoint{0.0, 0.0, kStartSlope}));
  while (!m.step()) {
  }
  const double a = (*m.state.param)[0];
  EXPECT_LE(rippled_line(a), kShift * a);
}

TEST(MoreThuente, BisectsABracketThatHasNotShrunkEnoughInTwoUpdates) {
  constexpr double kShrink = 0.66;
  Problem<Curve> problem(Curve{rippled_vee, rippled_vee_slope});
  MoreThuenteLineSearch ls;
  ls.search_direction({0.1});
  IterState state = IterState{}.with_param({0.0});
  ASSERT_TRUE(ls.init(problem, state).has_value());
  // Bracket widths after each bracketed update, oldest first; unknown widths count as infinite.
  std::vector<double> widths{IterState::kInfinity, IterState::kInfinity};
  int bisections = 0;
  while (true) {
    auto r = ls.next_iter(problem, state);
    ASSERT_TRUE(r.has_value());
    if (state.status.is_terminated()) break;
    if (!ls.bracketed()) continue;
    const double width = std::fabs(ls.other().step - ls.best().step);
    if (width >= kShrink * widths[widths.size() - 2]) {
      ++bisections;
      EXPECT_EQ(ls.trial().step, ls.best().step + 0.5 * (ls.other().step - ls.best().step));
    }
    widths.push_back(width);
  }
  EXPECT_GE(bisections, 1);
}

TEST(MoreThuenteInit, FailsWithoutDirectionOrStartPointBeforeEvaluating) {
  Problem<Quadratic> problem(Quadratic{{1.0}, {0.0}});
  MoreThuenteLineSearch no_direction;
  IterState start = IterState{}.with_param({1.0});
  auto r = no_direction.init(problem, start);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, OptimErrorKind::NotInitialized);
  EXPECT_EQ(r.error().text,
            "`MoreThuenteLineSearch`: Search direction not initialized. Call `search_direction` "
            "before executing the solver.");

  MoreThuenteLineSearch ls;
  ls.search_direction({-1.0});
  IterState empty;
  auto s = ls.init(problem, empty);
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error().kind, OptimErrorKind::NotInitialized);
  EXPECT_EQ(s.error().text,
            "`MoreThuenteLineSearch` requires an initial parameter vector. Please provide an "
            "initial guess via `Executor`s `configure` method.");
  EXPECT_TRUE(problem.counts().empty());
}

TEST(MoreThuenteInit, RejectsADirectionThatIsNotDownhill) {
  for (const double d : {1.0, 0.0}) {  // uphill, and no direction at all
    auto r = search(Quadratic{{1.0}, {0.0}}, {2.0}, {d});
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, OptimErrorKind::ConditionViolated);
    EXPECT_EQ(r.error().message(),
              "Condition violated: \"`MoreThuenteLineSearch`: Search direction must be a descent "
              "direction.\"");
  }
}

TEST(MoreThuenteInit, LetsANanStartSlopeThrough) {
  Problem<Quadratic> problem(Quadratic{{1.0}, {0.0}});
  MoreThuenteLineSearch ls;
  ls.search_direction({-1.0});
  IterState start = IterState{}.with_param({2.0}).with_cost(4.0).with_gradient({kNaN});
  auto r = ls.init(problem, start);
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(std::isnan(ls.start_slope()));
}

TEST(MoreThuenteInit, EvaluatesOnlyWhatTheStateLacks) {
  Problem<Quadratic> problem(Quadratic{{1.0}, {0.0}});
  MoreThuenteLineSearch ls;
  ls.search_direction({-1.0});
  IterState known = IterState{}.with_param({2.0}).with_cost(4.0).with_gradient({4.0});
  auto supplied = ls.init(problem, known);
  ASSERT_TRUE(supplied.has_value());
  EXPECT_TRUE(problem.counts().empty());
  // A NaN cost counts as supplied; only an infinite one is taken as unknown.
  IterState nan_known = IterState{}.with_param({2.0}).with_cost(kNaN).with_gradient({4.0});
  auto nan_cost = ls.init(problem, nan_known);
  ASSERT_TRUE(nan_cost.has_value());
  EXPECT_TRUE(problem.counts().empty());

  IterState s = IterState{}.with_param({2.0});
  auto bare = ls.init(problem, s);
  ASSERT_TRUE(bare.has_value());
  EXPECT_EQ(problem.counts().count_or_zero(tondra::optim::Evaluation::Cost), 1u);
  EXPECT_EQ(problem.counts().count_or_zero(tondra::optim::Evaluation::Gradient), 1u);
  EXPECT_EQ(ls.start_cost(), 4.0);
  EXPECT_EQ(ls.start_slope(), -4.0);
  EXPECT_FALSE(s.param.has_value());  // init keeps the start point itself
  EXPECT_FALSE(s.grad.has_value());
  EXPECT_EQ(s.cost, IterState::kInfinity);
}

// Sufficient decrease and curvature, checked on the returned point with the test's own problem.
template <class P>
void expect_strong_wolfe(P problem, std::vector<double> x0, std::vector<double> d) {
  constexpr double kC1 = 1e-4;
  constexpr double kC2 = 0.9;
  // Recovering the step from the returned point rounds; allow for it.
  constexpr double kSlack = 1e-12;
  const double f0 = problem.cost(x0).value();
  const std::vector<double> g0 = problem.gradient(x0).value();
  double slope0 = 0.0;
  for (std::size_t i = 0; i < d.size(); ++i) slope0 += g0[i] * d[i];
  auto r = search(problem, x0, d);
  ASSERT_TRUE(r.has_value()) << r.error().message();
  const std::vector<double> x = *r.value().state.param;
  std::size_t longest = 0;
  for (std::size_t i = 0; i < d.size(); ++i) {
    if (std::fabs(d[i]) > std::fabs(d[longest])) longest = i;
  }
  const double a = (x[longest] - x0[longest]) / d[longest];
  const std::vector<double> g = problem.gradient(x).value();
  double slope = 0.0;
  for (std::size_t i = 0; i < d.size(); ++i) slope += g[i] * d[i];
  EXPECT_GT(a, 0.0);
  EXPECT_EQ(r.value().state.cost, problem.cost(x).value());
  EXPECT_LE(problem.cost(x).value(), f0 + kC1 * a * slope0 + kSlack * std::fabs(f0));
  EXPECT_LE(std::fabs(slope), kC2 * std::fabs(slope0) * (1.0 + kSlack));
}

TEST(MoreThuente, ReturnsStepsThatMeetTheStrongWolfeConditions) {
  expect_strong_wolfe(Curve{shifted_parabola3, shifted_parabola3_slope}, {0.0}, {1.0});
  expect_strong_wolfe(Curve{shifted_parabola100, shifted_parabola100_slope}, {0.0}, {1.0});
  expect_strong_wolfe(Curve{quartic_well, quartic_well_slope}, {0.0}, {1.0});
  expect_strong_wolfe(Curve{quartic_well, quartic_well_slope}, {0.0}, {1e-3});
  expect_strong_wolfe(Curve{rippled_line, rippled_line_slope}, {0.0}, {1.0});
  // The steepest descent direction on a narrow valley overshoots a unit step by far.
  const Quadratic narrow{{1.0, 1000.0}, {1.0, -2.0}};
  expect_strong_wolfe(narrow, {0.0, 0.0}, {-2.0, -4000.0});
  expect_strong_wolfe(narrow, {5.0, 3.0}, {-1.0, -1.0});
  for (const auto& x0 : {std::vector<double>{-1.2, 1.0}, {0.0, 0.0}, {2.0, 2.0}, {-0.5, 3.0}}) {
    const std::vector<double> g = Rosenbrock{}.gradient(x0).value();
    expect_strong_wolfe(Rosenbrock{}, x0, {-g[0], -g[1]});
    expect_strong_wolfe(Rosenbrock{}, x0, {-g[0] * 1e-4, -g[1] * 1e-4});
  }
}

TEST(MoreThuente, NanAtATrialEndsTheSearchAtThatTrial) {
  const char* text = "MoreThuenteLineSearch: NaN or Inf encountered during iteration";
  std::vector<double> trials;
  auto r = search(Curve{nan_beyond_half, nan_beyond_half_slope, &trials}, {0.0}, {1.0});
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, OptimErrorKind::ConditionViolated);
  EXPECT_EQ(r.error().text, text);
  EXPECT_EQ(trials.size(), 2u);  // the helper's start cost, then the one trial at a = 1

  // A NaN start (points with NaN coordinates) passes init and stops at the first trial.
  MoreThuenteLineSearch ls;
  ls.search_direction({kNaN});
  Problem<Curve> problem(Curve{nan_beyond_half, nan_beyond_half_slope});
  IterState state = IterState{}.with_param({kNaN}).with_cost(kNaN).with_gradient({kNaN});
  ASSERT_TRUE(ls.init(problem, state).has_value());
  auto step = ls.next_iter(problem, state);
  ASSERT_FALSE(step.has_value());
  EXPECT_EQ(step.error().text, text);
  EXPECT_EQ(problem.counts().count_or_zero(tondra::optim::Evaluation::Cost), 1u);
  EXPECT_EQ(problem.counts().count_or_zero(tondra::optim::Evaluation::Gradient), 1u);
}

TEST(MoreThuente, FunctionFallingWithoutBoundEndsInsteadOfSteppingToInfinity) {
  auto r = search(Curve{falling_line, falling_line_slope}, {0.0}, {1.0});
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, OptimErrorKind::ConditionViolated);
  EXPECT_EQ(r.error().text, "MoreThuenteLineSearch: NaN or Inf encountered during iteration");
}

// search() against a run in an Executor from the same start: the same point, cost, gradient,
// counts and errors. One instance runs every search, as L-BFGS runs its own: nothing of an
// earlier search (its interval, its stage, its last case) may leak into a later one.
template <class P>
void expect_search_as_in_an_executor(MoreThuenteLineSearch& reused, P problem,
                                     std::vector<double> x0, std::vector<double> d) {
  auto run = search(problem, x0, d);
  reused.search_direction(d);
  Problem<P> wrapped(problem);
  const double f0 = problem.cost(x0).value();
  const std::vector<double> g0 = problem.gradient(x0).value();
  auto found = reused.search(wrapped, x0, f0, g0);
  ASSERT_EQ(found.has_value(), run.has_value());
  if (!run.has_value()) {
    EXPECT_EQ(found.error(), run.error());
    return;
  }
  const IterState& s = run.value().state;
  EXPECT_EQ(found.value().param, *s.param);
  EXPECT_EQ(found.value().cost, s.cost);
  EXPECT_EQ(found.value().grad, *s.grad);
  EXPECT_EQ(wrapped.counts(), s.counts);
}

TEST(MoreThuente, SearchWithoutAnExecutorMatchesARunInOne) {
  MoreThuenteLineSearch ls;
  expect_search_as_in_an_executor(ls, Curve{rippled_vee, rippled_vee_slope}, {0.0}, {1.0});
  expect_search_as_in_an_executor(ls, Curve{shifted_parabola100, shifted_parabola100_slope}, {0.0},
                                  {1.0});
  expect_search_as_in_an_executor(ls, Curve{quartic_well, quartic_well_slope}, {0.0}, {1.0});
  expect_search_as_in_an_executor(ls, Curve{rippled_line, rippled_line_slope}, {0.0}, {1.0});
  expect_search_as_in_an_executor(ls, Curve{nan_beyond_half, nan_beyond_half_slope}, {0.0}, {1.0});
  expect_search_as_in_an_executor(ls, Curve{falling_line, falling_line_slope}, {0.0}, {1.0});
  const std::vector<double> g = Rosenbrock{}.gradient(std::vector<double>{-1.2, 1.0}).value();
  expect_search_as_in_an_executor(ls, Rosenbrock{}, {-1.2, 1.0}, {-g[0], -g[1]});
}

}  // namespace
