// The Taubin decomposition, VT only, of an n x 3 column-major matrix: svd_into against the bare
// LAPACK calls it wraps, so that the wrapper's share (finiteness test, storage checks, result
// shaping) can be read off per point. Every iteration starts from a fresh copy of the matrix,
// since LAPACK overwrites it; BM_CopyMatrix times that copy alone. Run with
// OPENBLAS_NUM_THREADS=1 for stable figures on a shared machine.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "linalg/array.hpp"
#include "linalg/lapack_sys.hpp"
#include "linalg/svd.hpp"

namespace {

using tondra::linalg::Array2;

// Columns (w, u, v) of the Taubin matrix for n points on a 1.5 radian arc of the circle with
// centre (3, 4) and radius 5, with a little Gaussian noise; column-major, leading dimension n.
std::vector<double> arc_matrix(std::size_t n) {
  constexpr double kNoise = 0.01;
  std::mt19937_64 generator(20240601);
  std::normal_distribution<double> noise(0.0, kNoise);
  std::vector<double> x(n), y(n);
  double mx = 0.0, my = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double angle = 1.5 * static_cast<double>(i) / static_cast<double>(n - 1);
    x[i] = 3.0 + 5.0 * std::cos(angle) + noise(generator);
    y[i] = 4.0 + 5.0 * std::sin(angle) + noise(generator);
    mx += x[i];
    my += y[i];
  }
  mx /= static_cast<double>(n);
  my /= static_cast<double>(n);
  std::vector<double> m(3 * n);
  double mz = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double u = x[i] - mx, v = y[i] - my;
    m[n + i] = u;
    m[2 * n + i] = v;
    m[i] = u * u + v * v;
    mz += m[i];
  }
  mz /= static_cast<double>(n);
  const double r = std::sqrt(mz);
  for (std::size_t i = 0; i < n; ++i) m[i] = (m[i] - mz) / (r + r);
  return m;
}

void per_point(benchmark::State& state, std::size_t n) {
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n));
  // Points per nanosecond, inverted.
  state.counters["ns_per_point"] = benchmark::Counter(
      static_cast<double>(n) * 1e-9,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_CopyMatrix(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::vector<double> source = arc_matrix(n);
  for (auto _ : state) {
    std::vector<double> a = source;
    benchmark::DoNotOptimize(a.data());
    benchmark::ClobberMemory();
  }
  per_point(state, n);
}

// The guard that keeps non-finite matrices away from LAPACK, on its own.
void BM_AllFinite(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::vector<double> source = arc_matrix(n);
  for (auto _ : state) benchmark::DoNotOptimize(tondra::linalg::all_finite(source));
  per_point(state, n);
}

void BM_RawDgesvd(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::vector<double> source = arc_matrix(n);
  const char jobu = 'N', jobvt = 'A';
  const auto m = static_cast<std::int32_t>(n);
  const std::int32_t cols = 3;
  for (auto _ : state) {
    std::vector<double> a = source;
    std::vector<double> s(3), vt(9);
    const std::int32_t query = -1;
    double reported = 0.0;
    std::int32_t info = 0;
    dgesvd_(&jobu, &jobvt, &m, &cols, nullptr, &m, s.data(), nullptr, &m, vt.data(), &cols,
            &reported, &query, &info);
    std::vector<double> work(static_cast<std::size_t>(reported));
    const auto lwork = static_cast<std::int32_t>(work.size());
    dgesvd_(&jobu, &jobvt, &m, &cols, a.data(), &m, s.data(), nullptr, &m, vt.data(), &cols,
            work.data(), &lwork, &info);
    if (info != 0) state.SkipWithError("dgesvd_ failed");
    benchmark::DoNotOptimize(vt.data());
  }
  per_point(state, n);
}

void BM_SvdInto(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const Array2 source = unwrap(Array2::from_col_major(n, 3, arc_matrix(n)));
  for (auto _ : state) {
    auto svd = tondra::linalg::svd_into(source.to_owned(), false, true);
    if (!svd) state.SkipWithError("svd_into failed");
    benchmark::DoNotOptimize(svd);
  }
  per_point(state, n);
}

BENCHMARK(BM_CopyMatrix)->Arg(20)->Arg(1'000'000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AllFinite)->Arg(20)->Arg(1'000'000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RawDgesvd)->Arg(20)->Arg(1'000'000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SvdInto)->Arg(20)->Arg(1'000'000)->Unit(benchmark::kMicrosecond);

}  // namespace
