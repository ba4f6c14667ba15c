// The batch: every set's result is the one it gets alone, whatever the number of threads; a set
// that fails in any way fails alone; a stop leaves the sets not yet fitted cancelled.

#include "engine/batch.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <new>
#include <random>
#include <stdexcept>
#include <vector>

#include "base/fault.hpp"
#include "kernel/set_fit.hpp"

namespace tondra::kit {
namespace {

// Columns of a batch's results, owned.
struct Results {
  explicit Results(std::size_t sets, std::size_t points, bool robust)
      : status(sets),
        detail(sets),
        cx(sets),
        cy(sets),
        r(sets),
        rms(sets),
        cov(9 * sets),
        cov_exponent(sets),
        n(sets),
        iterations(sets),
        converged(sets),
        arc(sets),
        trials(robust ? sets : 0),
        threshold(robust ? sets : 0),
        inliers(robust ? points : 0),
        termination(sets) {
    out.status = status;
    out.detail = detail;
    out.cx = cx;
    out.cy = cy;
    out.r = r;
    out.rms = rms;
    out.cov = cov;
    out.cov_exponent = cov_exponent;
    out.n = n;
    out.iterations = iterations;
    out.converged = converged;
    out.arc = arc;
    out.trials = trials;
    out.threshold = threshold;
    out.inliers = inliers;
    out.termination = termination;
  }
  std::vector<std::int8_t> status, detail;
  std::vector<double> cx, cy, r, rms, cov;
  std::vector<std::int32_t> cov_exponent;
  std::vector<std::int64_t> n, iterations;
  std::vector<std::uint8_t> converged;
  std::vector<double> arc;
  std::vector<std::int64_t> trials;
  std::vector<double> threshold;
  std::vector<std::uint8_t> inliers;
  std::vector<std::int8_t> termination;
  BatchOutput out;
};

// `sets` noisy arcs of 5 to 40 points, one after another.
struct Arcs {
  explicit Arcs(std::size_t sets) {
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<int> size(5, 40);
    std::normal_distribution<double> noise(0.0, 0.01);
    offsets.push_back(0);
    for (std::size_t g = 0; g < sets; ++g) {
      const int count = size(rng);
      for (int i = 0; i < count; ++i) {
        const double t = 2.0 * i / count;
        x.push_back(3.0 + std::cos(t) + noise(rng));
        y.push_back(-1.0 + std::sin(t) + noise(rng));
      }
      offsets.push_back(static_cast<std::int64_t>(x.size()));
    }
  }
  BatchInput input(Method method) const {
    return BatchInput{x, y, offsets, method, nullptr, {}, {}};
  }
  std::vector<double> x, y;
  std::vector<std::int64_t> offsets;
};

bool always() { return true; }

TEST(KitBatch, EveryThreadCountGivesTheResultsOfSetsFittedAlone) {
  const Arcs arcs(300);
  Results one(300, arcs.x.size(), false);
  ASSERT_TRUE(run_batch(arcs.input(Method::Lsq), one.out, 1, always));
  for (const unsigned workers : {2U, 3U, 8U}) {
    Results many(300, arcs.x.size(), false);
    ASSERT_TRUE(run_batch(arcs.input(Method::Lsq), many.out, workers, always));
    EXPECT_EQ(0, std::memcmp(one.cx.data(), many.cx.data(), 300 * sizeof(double)));
    EXPECT_EQ(0, std::memcmp(one.cov.data(), many.cov.data(), 9 * 300 * sizeof(double)));
    EXPECT_EQ(one.status, many.status);
  }
  Workspace work;
  for (const std::size_t g : {0U, 151U, 299U}) {
    const auto a = static_cast<std::size_t>(arcs.offsets[g]);
    const auto b = static_cast<std::size_t>(arcs.offsets[g + 1]);
    const SetFit alone = fit_set(std::span(arcs.x).subspan(a, b - a),
                                 std::span(arcs.y).subspan(a, b - a), Method::Lsq, work);
    EXPECT_EQ(alone.cx, one.cx[g]);
    EXPECT_EQ(alone.stats.r, one.r[g]);
    EXPECT_EQ(static_cast<std::int64_t>(b - a), one.n[g]);
    EXPECT_EQ(static_cast<std::int8_t>(alone.termination), one.termination[g]);
  }
}

TEST(KitBatch, AFailingSetFailsAloneWhateverItThrows) {
  const Arcs arcs(64);
  const SetFitter failing = [](std::size_t set, std::span<const double> x,
                               std::span<const double> y, std::span<std::uint8_t>,
                               Workspace& work) {
    if (set == 3) base::fault("broken on purpose");
    if (set == 5) throw std::bad_alloc();
    if (set == 7) throw std::runtime_error("not ours");
    if (set == 9) throw 42;
    return RobustFit{fit_set(x, y, Method::Lsq, work), 0, kNaN};
  };
  for (const unsigned workers : {1U, 4U}) {
    Results results(64, arcs.x.size(), false);
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(run_batch(arcs.input(Method::Lsq), results.out, workers, always,
                          std::chrono::milliseconds(20), failing));
    EXPECT_EQ("", ::testing::internal::GetCapturedStderr());  // a fault is the set's status only
    EXPECT_EQ(static_cast<std::int8_t>(Status::FitFailed), results.status[3]);
    EXPECT_EQ(static_cast<std::int8_t>(Status::NoMemory), results.status[5]);
    EXPECT_EQ(static_cast<std::int8_t>(Status::FitFailed), results.status[7]);
    EXPECT_EQ(static_cast<std::int8_t>(Status::FitFailed), results.status[9]);
    int ok = 0;
    for (const std::int8_t s : results.status) ok += s == 0;
    EXPECT_EQ(60, ok);
    std::vector<std::string> texts(64);
    for (const auto& [set, text] : results.out.messages) texts[set] = text;
    EXPECT_EQ("broken on purpose", texts[3]);
    EXPECT_EQ("not ours", texts[7]);
    EXPECT_EQ("unexpected C++ exception", texts[9]);
  }
}

TEST(KitBatch, AStopCancelsTheSetsNotYetStarted) {
  const Arcs arcs(400);
  std::atomic<int> fitted{0};
  const SetFitter slow = [&fitted](std::size_t, std::span<const double> x,
                                   std::span<const double> y, std::span<std::uint8_t>,
                                   Workspace& work) {
    ++fitted;
    return RobustFit{fit_set(x, y, Method::Lsq, work), 0, kNaN};
  };
  int polls = 0;
  const auto stop_at_once = [&polls] { return ++polls < 2; };
  Results results(400, arcs.x.size(), false);
  EXPECT_FALSE(run_batch(arcs.input(Method::Lsq), results.out, 2, stop_at_once,
                         std::chrono::milliseconds(0), slow));
  int cancelled = 0;
  for (const std::int8_t s : results.status)
    cancelled += s == static_cast<std::int8_t>(Status::Cancelled);
  EXPECT_EQ(400 - fitted.load(), cancelled);
  EXPECT_GT(cancelled, 0);
}

TEST(KitBatch, MalformedInputIsNamed) {
  const Arcs arcs(3);
  Results results(3, arcs.x.size(), false);
  std::vector<std::int64_t> offsets = arcs.offsets;
  BatchInput input = arcs.input(Method::Lsq);
  EXPECT_EQ("", batch_problem(input, results.out));
  offsets[2] = offsets[1] - 1;
  input.offsets = offsets;
  EXPECT_EQ("offsets must not decrease", batch_problem(input, results.out));
  offsets = arcs.offsets;
  offsets.back() += 1;
  input.offsets = offsets;
  EXPECT_EQ("offsets must end at the number of points", batch_problem(input, results.out));
  input = arcs.input(Method::Lsq);
  RobustOptions robust;
  input.robust = &robust;
  EXPECT_EQ("a robust output has the wrong size", batch_problem(input, results.out));
}

}  // namespace
}  // namespace tondra::kit
