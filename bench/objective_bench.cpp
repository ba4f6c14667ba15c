// Cost and gradient of the circle objective against the cheapest loop that could compute anything
// like it: one pass summing the point-to-centre distances. Per-point time is the reported time
// divided by the point count (items_per_second gives its inverse).

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstddef>
#include <random>
#include <vector>

#include "fits/circle.hpp"
#include "fits/point_geometry.hpp"

namespace {

struct Points {
  std::vector<double> xs;
  std::vector<double> ys;
};

// Noisy points around a circle of radius 3 at (1, -2), fixed seed so every run sees the same data.
Points make_points(std::size_t n) {
  std::mt19937_64 rng(12345);
  std::uniform_real_distribution<double> angle(0.0, 6.283185307179586);
  std::normal_distribution<double> noise(0.0, 0.05);
  Points p;
  p.xs.reserve(n);
  p.ys.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = angle(rng);
    p.xs.push_back(1.0 + (3.0 + noise(rng)) * std::cos(t));
    p.ys.push_back(-2.0 + (3.0 + noise(rng)) * std::sin(t));
  }
  return p;
}

const std::vector<double> kParam = {0.9, -1.8};

void BM_PlainDistanceSum(benchmark::State& state) {
  const Points p = make_points(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    const double cx = kParam[0];
    const double cy = kParam[1];
    double sum = +0.0;
    for (std::size_t i = 0; i < p.xs.size(); ++i) {
      const double dx = p.xs[i] - cx;
      const double dy = p.ys[i] - cy;
      sum += std::sqrt(dx * dx + dy * dy);
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Each evaluation at a centre other than the last one's, so nothing is reused.
const std::vector<double> kOtherParam = {kParam[0] + 0.25, kParam[1] - 0.5};

void BM_CircleCost(benchmark::State& state) {
  Points p = make_points(static_cast<std::size_t>(state.range(0)));
  const tondra::Circle circle(std::move(p.xs), std::move(p.ys));
  bool flip = false;
  for (auto _ : state) {
    benchmark::DoNotOptimize(circle.cost((flip = !flip) ? kParam : kOtherParam).value());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_CircleGradient(benchmark::State& state) {
  Points p = make_points(static_cast<std::size_t>(state.range(0)));
  const tondra::Circle circle(std::move(p.xs), std::move(p.ys));
  bool flip = false;
  for (auto _ : state) {
    benchmark::DoNotOptimize(circle.gradient((flip = !flip) ? kParam : kOtherParam).value());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

// What a line-search trial costs: the cost, then the gradient at the same centre.
void BM_CircleCostThenGradient(benchmark::State& state) {
  Points p = make_points(static_cast<std::size_t>(state.range(0)));
  const tondra::Circle circle(std::move(p.xs), std::move(p.ys));
  bool flip = false;
  for (auto _ : state) {
    const std::vector<double>& at = (flip = !flip) ? kParam : kOtherParam;
    benchmark::DoNotOptimize(circle.cost(at).value());
    benchmark::DoNotOptimize(circle.gradient(at).value());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

constexpr long kPoints = 1'000'000;
BENCHMARK(BM_PlainDistanceSum)->Arg(kPoints)->Arg(1000);
BENCHMARK(BM_CircleCost)->Arg(kPoints)->Arg(1000);
BENCHMARK(BM_CircleGradient)->Arg(kPoints)->Arg(1000);
BENCHMARK(BM_CircleCostThenGradient)->Arg(kPoints)->Arg(1000);

}  // namespace
