#include "optim/solver/neldermead/neldermead.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fault_capture.hpp"
#include "fits/circle.hpp"
#include "optim/core/executor.hpp"
#include "optim/test_problems.hpp"

namespace {

using namespace tondra::optim;
using tondra::optim::testing::kNaN;
using tondra::optim::testing::Quadratic;
using tondra::optim::testing::Rosenbrock;
using tondra::testing::fault_message;
using Vec = std::vector<double>;

// A one-dimensional problem whose costs are listed point by point, so each test decides exactly
// which branch an iteration takes. Asking for an unlisted point is a test failure.
struct Table {
  std::map<double, double> costs;
  std::optional<double> failing_at;

  OptimResult<double> cost(std::span<const double> x) {
    if (failing_at && x[0] == *failing_at) return OptimError::condition_violated("cannot evaluate");
    const auto it = costs.find(x[0]);
    if (it == costs.end()) {
      ADD_FAILURE() << "unexpected evaluation at " << x[0];
      return kNaN;
    }
    return it->second;
  }
};

// Vertices 0, 1, 2 with costs 1, 2, 3: best {0}, second-worst {1}, worst {2}. The centroid of
// the two best is {0.5}, so the trial points are fixed:
constexpr double kReflected = -1.0;           // 0.5 + (0.5 - 2)
constexpr double kExpanded = -2.5;            // 0.5 + 2 (-1 - 0.5)
constexpr double kContractedOutside = -0.25;  // 0.5 + 0.5 (-1 - 0.5)
constexpr double kContractedInside = 1.25;    // 0.5 + 0.5 (2 - 0.5)
// and a shrink towards {0} moves {1} to {0.5} and {2} to {1}.

using Costs = std::map<double, double>;

struct Stepper {
  NelderMead solver{{Vec{0.0}, Vec{1.0}, Vec{2.0}}};
  Problem<Table> problem;
  IterState state;

  explicit Stepper(std::map<double, double> extra, std::optional<double> failing_at = {})
      : problem(make_table(std::move(extra), failing_at)) {
    (void)tondra::base::unwrap(solver.init(problem, state));
  }

  static Table make_table(std::map<double, double> extra, std::optional<double> failing_at) {
    extra.merge(std::map<double, double>{{0.0, 1.0}, {1.0, 2.0}, {2.0, 3.0}});
    return Table{std::move(extra), failing_at};
  }

  // One iteration; returns the action text.
  std::string step() {
    SolverStep s = tondra::base::unwrap(solver.next_iter(problem, state));
    return std::string(std::get<std::string_view>(*s.kv->get("action")));
  }

  // The simplex as (point, cost) pairs, best first.
  std::vector<std::pair<double, double>> simplex() const {
    std::vector<std::pair<double, double>> out;
    for (const Vertex& v : solver.simplex()) out.emplace_back(v.param[0], v.cost);
    return out;
  }
  std::uint64_t evaluations() const { return problem.counts().count_or_zero(Evaluation::Cost); }
};

using Simplex = std::vector<std::pair<double, double>>;

TEST(NelderMead, ReflectsWhenTheReflectedPointIsBetweenBestAndSecondWorst) {
  Stepper s(Costs{{kReflected, 1.5}});
  EXPECT_EQ(s.step(), "Reflection");
  EXPECT_EQ(s.simplex(), (Simplex{{0.0, 1.0}, {kReflected, 1.5}, {1.0, 2.0}}));
  EXPECT_EQ(s.evaluations(), 4u);
  EXPECT_EQ(s.state.param, Vec{0.0});
  EXPECT_EQ(s.state.prev_cost, 1.0);
}

TEST(NelderMead, WithoutDiagnosticsAnIterationReturnsNoRecordButMovesTheSame) {
  Stepper s(Costs{{kReflected, 1.5}});
  s.solver = std::move(s.solver).with_diagnostics(false);
  const OptimResult<SolverStep> r = s.solver.next_iter(s.problem, s.state);
  ASSERT_TRUE(r.has_value());
  EXPECT_FALSE(r.value().kv.has_value());
  EXPECT_EQ(s.simplex(), (Simplex{{0.0, 1.0}, {kReflected, 1.5}, {1.0, 2.0}}));
}

TEST(NelderMead, ReflectedCostEqualToTheBestReflectsAndKeepsTheOldBestFirst) {
  Stepper s(Costs{{kReflected, 1.0}});
  EXPECT_EQ(s.step(), "Reflection");
  EXPECT_EQ(s.simplex(), (Simplex{{0.0, 1.0}, {kReflected, 1.0}, {1.0, 2.0}}));
}

TEST(NelderMead, ExpandsWhenTheReflectedPointBeatsTheBest) {
  Stepper better(Costs{{kReflected, 0.5}, {kExpanded, 0.2}});
  EXPECT_EQ(better.step(), "Expansion");
  EXPECT_EQ(better.simplex(), (Simplex{{kExpanded, 0.2}, {0.0, 1.0}, {1.0, 2.0}}));
  EXPECT_EQ(better.evaluations(), 5u);
  EXPECT_EQ(better.state.param, Vec{kExpanded});

  // An expansion that is only as good as the reflection keeps the reflected point.
  Stepper equal(Costs{{kReflected, 0.5}, {kExpanded, 0.5}});
  EXPECT_EQ(equal.step(), "Expansion");
  EXPECT_EQ(equal.simplex(), (Simplex{{kReflected, 0.5}, {0.0, 1.0}, {1.0, 2.0}}));

  Stepper nan(Costs{{kReflected, 0.5}, {kExpanded, kNaN}});
  EXPECT_EQ(nan.step(), "Expansion");
  EXPECT_EQ(nan.simplex()[0], (std::pair{kReflected, 0.5}));
}

TEST(NelderMead, ReflectedCostEqualToTheSecondWorstContractsOutside) {
  // An outside contraction exactly as good as the reflected point is accepted.
  Stepper s(Costs{{kReflected, 2.0}, {kContractedOutside, 2.0}});
  EXPECT_EQ(s.step(), "ContractionOutside");
  EXPECT_EQ(s.simplex(), (Simplex{{0.0, 1.0}, {1.0, 2.0}, {kContractedOutside, 2.0}}));
  EXPECT_EQ(s.evaluations(), 5u);
}

TEST(NelderMead, RejectedOutsideContractionShrinksTowardsTheBest) {
  Stepper s(Costs{{kReflected, 2.5}, {kContractedOutside, 2.6}, {0.5, 1.2}});
  EXPECT_EQ(s.step(), "Shrink");
  // {0} keeps its cost unevaluated; {1} -> {0.5}, {2} -> {1}, both evaluated anew.
  EXPECT_EQ(s.simplex(), (Simplex{{0.0, 1.0}, {0.5, 1.2}, {1.0, 2.0}}));
  EXPECT_EQ(s.evaluations(), 3u + 2u + 2u);
}

TEST(NelderMead, ContractsInsideWhenTheReflectedPointIsNoBetterThanTheWorst) {
  Stepper s(Costs{{kReflected, 3.0}, {kContractedInside, 2.5}});
  EXPECT_EQ(s.step(), "ContractionInside");
  EXPECT_EQ(s.simplex(), (Simplex{{0.0, 1.0}, {1.0, 2.0}, {kContractedInside, 2.5}}));
}

TEST(NelderMead, InsideContractionEqualToTheWorstShrinks) {
  Stepper s(Costs{{kReflected, 3.5}, {kContractedInside, 3.0}, {0.5, 4.0}});
  EXPECT_EQ(s.step(), "Shrink");
  // The shrunk vertices are re-sorted: {0.5} now costs more than {1}.
  EXPECT_EQ(s.simplex(), (Simplex{{0.0, 1.0}, {1.0, 2.0}, {0.5, 4.0}}));
}

TEST(NelderMead, NaNReflectedCostIsAPotentialBugAndLeavesTheSimplex) {
  Stepper s(Costs{{kReflected, kNaN}});
  const OptimResult<SolverStep> r = s.solver.next_iter(s.problem, s.state);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(),
            "Potential bug: \"`NelderMead`: Reached unreachable point.\". This is potentially a "
            "bug. Please file a report on " +
                std::string(kIssueTracker));
  EXPECT_EQ(s.simplex(), (Simplex{{0.0, 1.0}, {1.0, 2.0}, {2.0, 3.0}}));
}

TEST(NelderMead, EvaluationErrorsInAnIterationAreReturned) {
  Stepper reflect(Costs{}, kReflected);
  const OptimResult<SolverStep> r = reflect.solver.next_iter(reflect.problem, reflect.state);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), OptimError::condition_violated("cannot evaluate"));

  // A shrink that fails leaves the failing vertex with its new point but its old cost, and the
  // vertices after it untouched.
  Stepper shrink(Costs{{kReflected, 2.5}, {kContractedOutside, 2.6}}, 0.5);
  ASSERT_FALSE(shrink.solver.next_iter(shrink.problem, shrink.state).has_value());
  EXPECT_EQ(shrink.simplex(), (Simplex{{0.0, 1.0}, {0.5, 2.0}, {2.0, 3.0}}));
}

TEST(NelderMead, SortIsStableAndNeverMovesPastANaN) {
  Problem<Table> equal(Table{{{5.0, 1.0}, {3.0, 1.0}, {4.0, 0.0}}, {}});
  NelderMead ties({Vec{5.0}, Vec{3.0}, Vec{4.0}});
  IterState ties_state;
  (void)tondra::base::unwrap(ties.init(equal, ties_state));
  EXPECT_EQ(ties.simplex()[0].param, Vec{4.0});
  EXPECT_EQ(ties.simplex()[1].param, Vec{5.0});
  EXPECT_EQ(ties.simplex()[2].param, Vec{3.0});

  Problem<Table> with_nan(Table{{{5.0, kNaN}, {3.0, 1.0}, {4.0, 0.0}}, {}});
  NelderMead pinned({Vec{5.0}, Vec{3.0}, Vec{4.0}});
  IterState state;
  (void)tondra::base::unwrap(pinned.init(with_nan, state));
  EXPECT_EQ(pinned.simplex()[0].param, Vec{5.0});
  EXPECT_EQ(pinned.simplex()[1].param, Vec{4.0});
  EXPECT_TRUE(std::isnan(state.cost));
}

TEST(NelderMead, TerminationTestUsesTheSampleStandardDeviation) {
  // Costs 1, 2, 3 have a sample standard deviation of exactly 1 (a population one of 0.816...).
  for (const auto& [tolerance, converged] : {std::pair{1.0, false}, std::pair{1.0 + 1e-12, true}}) {
    NelderMead nm = tondra::base::unwrap(
        NelderMead({Vec{0.0}, Vec{1.0}, Vec{2.0}}).with_std_dev_tolerance(tolerance));
    Problem<Table> p(Stepper::make_table({}, {}));
    IterState state;
    (void)tondra::base::unwrap(nm.init(p, state));
    EXPECT_EQ(nm.termination_test(IterState{}).is_terminated(), converged) << tolerance;
  }
}

TEST(NelderMead, TerminationTestAgreesWithTheDeviationNearAndFarFromTheTolerance) {
  // The deviation as the test defines it: mean, then squares, each summed in rank order.
  const auto deviation = [](const std::vector<double>& costs) {
    double sum = +0.0;
    for (const double c : costs) sum += c;
    const double mean = sum / static_cast<double>(costs.size());
    double ss = +0.0;
    for (const double c : costs) ss += (c - mean) * (c - mean);
    return std::sqrt((1.0 / (static_cast<double>(costs.size()) - 1.0)) * ss);
  };
  const std::vector<std::vector<double>> cases = {
      {1.0, 1.0 + 1e-12, 1.0 + 3e-12, 1.0 + 3e-12},
      {0.0, 0.0, 0.0, 5.0},
      {2.0, 2.0, 2.0, 2.5},
      {1e-149, 1e-149, 3e-149, 4e-149},
      {1.0, 2.0, kNaN, 3.0},
      {1.0, 2.0, 3.0, std::numeric_limits<double>::infinity()}};
  for (const std::vector<double>& costs : cases) {
    Costs table;
    std::vector<Vec> vertices;
    for (std::size_t k = 0; k < costs.size(); ++k) {
      table[static_cast<double>(k)] = costs[k];
      vertices.push_back(Vec{static_cast<double>(k)});
    }
    const double sd = deviation(costs);
    for (double scale = 1e-3; scale < 1e3; scale *= 1.1) {
      const double tolerance = std::isfinite(sd) ? sd * scale : scale;
      NelderMead nm = tondra::base::unwrap(NelderMead(vertices).with_std_dev_tolerance(tolerance));
      Problem<Table> p(Table{table, {}});
      IterState state;
      (void)tondra::base::unwrap(nm.init(p, state));
      EXPECT_EQ(nm.termination_test(IterState{}).is_terminated(), tolerance > sd)
          << costs[3] << " " << tolerance;
    }
  }
}

TEST(NelderMead, RejectsNegativeOrNaNTolerances) {
  for (const double bad : {-1e-15, kNaN}) {
    const OptimResult<NelderMead> r = NelderMead({Vec{0.0}, Vec{1.0}}).with_std_dev_tolerance(bad);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().kind, OptimErrorKind::InvalidParameter);
  }
  EXPECT_EQ(tondra::base::unwrap(NelderMead({Vec{0.0}}).with_std_dev_tolerance(1e-15))
                .std_dev_tolerance(),
            1e-15);
}

struct Zero {
  OptimResult<double> cost(std::span<const double>) { return 0.0; }
};

TEST(NelderMead, EqualZeroCostsConvergeBeforeTheFirstIteration) {
  Executor exec(Zero{}, NelderMead({Vec{1.0, 2.0}, Vec{3.0, 4.0}, Vec{5.0, 6.0}}));
  const auto r = tondra::base::unwrap(std::move(exec).run());
  EXPECT_EQ(r.state.iteration, 0u);
  EXPECT_EQ(r.state.status, TerminationStatus::terminated(TerminationReason::Converged));
  EXPECT_EQ(r.state.best_param, (Vec{1.0, 2.0}));
  EXPECT_EQ(r.state.counts.count_or_zero(Evaluation::Cost), 3u);
}

TEST(NelderMead, BrokenSimplexesFault) {
  Executor single(Zero{}, NelderMead({Vec{1.0, 2.0}}));
  EXPECT_EQ(fault_message([&] { (void)std::move(single).run(); }),
            "index out of bounds: the len is 1 but the index is 1");

  Executor empty(Zero{}, NelderMead({}));
  EXPECT_EQ(fault_message([&] { (void)std::move(empty).run(); }),
            "index out of bounds: the len is 0 but the index is 0");

  Problem<Table> p(Table{{}, 0.0});
  NelderMead failing({Vec{0.0}, Vec{1.0}});
  IterState state;
  EXPECT_EQ(fault_message([&] { (void)failing.init(p, state); }),
            "called `Result::unwrap()` on an `Err` value: Condition violated: \"cannot evaluate\"");
}

TEST(NelderMead, FindsTheCentreOfPointsOnACircle) {
  // Eight points on the circle of radius 2 about (1, -1); a triangle around the origin.
  Vec xs, ys;
  for (int k = 0; k < 8; ++k) {
    const double t = 0.7853981633974483 * k;
    xs.push_back(1.0 + 2.0 * std::cos(t));
    ys.push_back(-1.0 + 2.0 * std::sin(t));
  }
  NelderMead solver = tondra::base::unwrap(
      NelderMead({Vec{0.0, 0.0}, Vec{0.5, 0.0}, Vec{0.0, 0.5}}).with_std_dev_tolerance(1e-15));
  Executor exec(tondra::Circle(xs, ys), std::move(solver));
  exec.configure([](IterState s) { return std::move(s).with_max_iterations(1000); });
  const auto r = tondra::base::unwrap(std::move(exec).run());
  // The cost grows quadratically with the offset, so a cost spread of 1e-15 leaves ~1e-7.
  constexpr double kCentreTolerance = 1e-6;
  ASSERT_TRUE(r.state.best_param.has_value());
  EXPECT_NEAR((*r.state.best_param)[0], 1.0, kCentreTolerance);
  EXPECT_NEAR((*r.state.best_param)[1], -1.0, kCentreTolerance);
  EXPECT_EQ(r.state.status, TerminationStatus::terminated(TerminationReason::Converged));
  EXPECT_EQ(r.state.counts, r.problem.counts());
}

// A simplex of n + 1 vertices: x0 and x0 plus `size` along each axis.
std::vector<Vec> simplex_at(const Vec& x0, double size) {
  std::vector<Vec> vertices{x0};
  for (std::size_t i = 0; i < x0.size(); ++i) {
    vertices.push_back(x0);
    vertices.back()[i] += size;
  }
  return vertices;
}

template <class P>
auto minimise(P problem, const Vec& x0, std::uint64_t max_iterations) {
  NelderMead solver =
      tondra::base::unwrap(NelderMead(simplex_at(x0, 0.5)).with_std_dev_tolerance(1e-15));
  Executor exec(std::move(problem), std::move(solver));
  exec.configure([&](IterState s) { return std::move(s).with_max_iterations(max_iterations); });
  return tondra::base::unwrap(std::move(exec).run());
}

TEST(NelderMead, ConvergesOnTheQuadraticsLbfgsIsTestedOn) {
  // Stopping at a cost spread of 1e-15 leaves costs of that order, so each coordinate is within
  // about sqrt(1e-15 / w_i) <= 3e-8 of the centre (the smallest weight is 1).
  constexpr double kTolerance = 1e-6;
  const Quadratic bowls[] = {
      {{1.0, 1.0}, {3.0, -4.0}},
      {{1.0, 1000.0}, {1.0, -2.0}},
      {{1.0, 2.0, 5.0, 10.0, 50.0}, {1.0, -1.0, 2.0, 0.5, -3.0}},
  };
  for (const Quadratic& bowl : bowls) {
    const auto r = minimise(bowl, Vec(bowl.centre.size(), 0.0), 5000);
    EXPECT_EQ(r.state.status.reason(), TerminationReason::Converged) << bowl.centre.size();
    ASSERT_TRUE(r.state.best_param.has_value());
    for (std::size_t i = 0; i < bowl.centre.size(); ++i) {
      EXPECT_NEAR((*r.state.best_param)[i], bowl.centre[i], kTolerance) << i;
    }
  }
}

TEST(NelderMead, ConvergesOnRosenbrockFromTheClassicStart) {
  // At (1, 1) the Hessian's smaller eigenvalue is ~0.4: costs of 1e-15 lie within ~5e-8 of the
  // minimiser along the valley floor, and closer across it.
  constexpr double kTolerance = 1e-6;
  const auto r = minimise(Rosenbrock{}, {-1.2, 1.0}, 5000);
  EXPECT_EQ(r.state.status.reason(), TerminationReason::Converged);
  ASSERT_TRUE(r.state.best_param.has_value());
  EXPECT_NEAR((*r.state.best_param)[0], 1.0, kTolerance);
  EXPECT_NEAR((*r.state.best_param)[1], 1.0, kTolerance);
}

}  // namespace
