#include "optim/core/iter_state.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "optim/core/kv.hpp"

namespace {

using namespace tondra::optim;
using Vec = std::vector<double>;

constexpr double kInf = std::numeric_limits<double>::infinity();

struct Constant {
  OptimResult<double> cost(std::span<const double>) { return 1.0; }
  OptimResult<Vec> gradient(std::span<const double>) {
    return OptimError::not_implemented("no gradient");
  }
};

TEST(IterState, BuildersKeepOnePreviousValue) {
  IterState s = IterState{}.with_param({1.0}).with_param({2.0}).with_param({3.0});
  EXPECT_EQ(s.param, Vec{3.0});
  EXPECT_EQ(s.prev_param, Vec{2.0});
  s.with_gradient({4.0}).with_cost(5.0).with_cost(6.0);
  EXPECT_EQ(s.grad, Vec{4.0});
  EXPECT_FALSE(s.prev_grad.has_value());
  EXPECT_EQ(s.prev_cost, 5.0);
  EXPECT_EQ(s.cost, 6.0);
  EXPECT_EQ(s.take_param(), Vec{3.0});
  EXPECT_FALSE(s.param.has_value());
  s.with_param({7.0});
  EXPECT_FALSE(s.prev_param.has_value());
}

TEST(IterState, MinusInfinityCostsReplaceEachOther) {
  IterState s;
  s.with_param({1.0}).with_cost(-kInf).update_best();
  s.iteration = 4;
  s.with_param({2.0}).with_cost(-kInf).update_best();
  EXPECT_EQ(s.best_param, Vec{2.0});
  EXPECT_EQ(s.prev_best_param, Vec{1.0});
  EXPECT_EQ(s.last_best_iteration, 4u);
}

TEST(IterState, FuncCountsOverwriteAndKeepAbsentKeys) {
  Problem<Constant> p(Constant{});
  IterState s;
  s.counts.add(Evaluation::Gradient, 9);
  s.counts.add(Evaluation::Cost, 9);
  (void)p.cost(Vec{0.0});
  (void)p.cost(Vec{0.0});
  s.func_counts(p);
  EXPECT_EQ(s.counts.count_or_zero(Evaluation::Cost), 2u);
  EXPECT_EQ(s.counts.count_or_zero(Evaluation::Gradient), 9u);
}

TEST(Problem, CountsEvaluationsThatFail) {
  Problem<Constant> p(Constant{});
  EXPECT_FALSE(p.gradient(Vec{0.0}).has_value());
  EXPECT_EQ(p.counts().count_or_zero(Evaluation::Gradient), 1u);
  EXPECT_FALSE(p.counts().contains(Evaluation::Cost));
}

TEST(TerminationStatus, DebugTextNamesTheReason) {
  EXPECT_EQ(debug_text(TerminationStatus{}), "Running");
  EXPECT_EQ(debug_text(TerminationStatus::terminated(TerminationReason::IterationLimit)),
            "Terminated(IterationLimit)");
  EXPECT_EQ(debug_text(TerminationStatus::solver_stopped("gave up")),
            "Terminated(SolverStopped(\"gave up\"))");
  EXPECT_EQ(TerminationStatus::solver_stopped("gave up").reason(),
            TerminationReason::SolverStopped);
}

TEST(KV, MergeLetsTheSecondRecordWin) {
  const KV a = KV().insert("action", std::string_view("Shrink")).insert("gamma", 1.0);
  const KV b = KV().insert("gamma", 2.0).insert("extra", std::string_view("x"));
  const KV merged = KV::merge(a, b);
  EXPECT_EQ(merged.size(), 3u);
  EXPECT_EQ(*merged.get("gamma"), KvValue(2.0));
  EXPECT_EQ(*merged.get("action"), KvValue(std::string_view("Shrink")));
  EXPECT_EQ(merged.get("missing"), nullptr);
  EXPECT_TRUE(KV().empty());
}

}  // namespace
