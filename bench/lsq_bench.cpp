// The least-squares fit end to end on noisy arcs, with the run's own figures as counters:
// iterations, cost and gradient evaluations, and how the run ended (1 when it converged, 0 when
// the iteration limit stopped it). Nelder-Mead on more than 10000 points writes its warning once
// per run to fd 2; run with 2>/dev/null to keep the table readable.

#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "fits/circle_fit.hpp"

namespace {

// A quarter arc of radius 20 at (100, -40) with noise 0.2, fixed seed: the data bench_lsq.py uses
// in spirit, generated here so that the C++ figures stand on their own.
void noisy_quarter_arc(std::size_t n, std::vector<double>& xs, std::vector<double>& ys) {
  std::mt19937_64 rng(2);
  std::normal_distribution<double> noise(0.0, 0.2);
  xs.clear();
  ys.clear();
  for (std::size_t i = 0; i < n; ++i) {
    const double t = 0.3 + 1.5707963267948966 * static_cast<double>(i) / static_cast<double>(n - 1);
    xs.push_back(100.0 + 20.0 * std::cos(t) + noise(rng));
    ys.push_back(-40.0 + 20.0 * std::sin(t) + noise(rng));
  }
}

void BM_FitLsq(benchmark::State& state, const char* method) {
  std::vector<double> xs;
  std::vector<double> ys;
  noisy_quarter_arc(static_cast<std::size_t>(state.range(0)), xs, ys);
  tondra::LsqReport report;
  for (auto _ : state) {
    report = tondra::fit_lsq_report(xs, ys, method);
    benchmark::DoNotOptimize(report.centre.data());
  }
  state.counters["iterations"] = static_cast<double>(report.iterations);
  state.counters["costs"] = static_cast<double>(report.cost_count);
  state.counters["gradients"] = static_cast<double>(report.gradient_count);
  state.counters["converged"] = report.termination == "Terminated(Converged)" ? 1.0 : 0.0;
}

BENCHMARK_CAPTURE(BM_FitLsq, lbfgs, "lbfgs")->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FitLsq, nelder_mead, "nelder_mead")
    ->Arg(1000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond);

}  // namespace
