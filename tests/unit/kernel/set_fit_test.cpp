#include "kernel/set_fit.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace {

using tondra::kit::fit_set;
using tondra::kit::Method;
using tondra::kit::SetFit;
using tondra::kit::Status;
using tondra::kit::Termination;
using tondra::kit::Workspace;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

const std::vector<double> kDocX = {36, 36, 19, 18, 33, 26};
const std::vector<double> kDocY = {14, 10, 28, 31, 18, 26};

SetFit fit(const std::vector<double>& x, const std::vector<double>& y, Method method) {
  Workspace work;
  return fit_set(x, y, method, work);
}

struct Expected {
  Method method;
  std::array<double, 4> circle;  // cx, cy, r, rms
  std::array<double, 9> cov;
  int cov_exponent;
};

// The covariance of a least-squares method stands only at a minimum: where the solver stopped
// short of one it is all NaN.
void expect_bits(const SetFit& f, const Expected& e) {
  ASSERT_EQ(f.status, Status::Ok);
  EXPECT_EQ(f.cx, e.circle[0]);
  EXPECT_EQ(f.cy, e.circle[1]);
  EXPECT_EQ(f.stats.r, e.circle[2]);
  EXPECT_EQ(f.stats.rms, e.circle[3]);
  const bool least_squares = e.method == Method::Lsq || e.method == Method::NelderMead;
  if (least_squares && !f.converged) {
    for (const double c : f.stats.cov) EXPECT_TRUE(std::isnan(c));
    return;
  }
  for (std::size_t i = 0; i < 9; ++i) {
    EXPECT_EQ(std::signbit(f.stats.cov[i]), std::signbit(e.cov[i])) << i;
    EXPECT_EQ(f.stats.cov[i], e.cov[i]) << i;
  }
  EXPECT_EQ(f.stats.cov_exponent, e.cov_exponent);
}

// Taubin's circle goes through LAPACK's SVD, whose last bits depend on the kernel that OpenBLAS
// picks for the processor: its values hold to 1e-12 of the radius, its covariance to 1e-12 of
// the covariance's largest element.
void expect_close(const SetFit& f, const Expected& e) {
  ASSERT_EQ(f.status, Status::Ok);
  const double scale = 1e-12 * e.circle[2];
  EXPECT_NEAR(f.cx, e.circle[0], scale);
  EXPECT_NEAR(f.cy, e.circle[1], scale);
  EXPECT_NEAR(f.stats.r, e.circle[2], scale);
  EXPECT_NEAR(f.stats.rms, e.circle[3], scale);
  double largest = 0.0;
  for (const double c : e.cov) largest = std::max(largest, std::fabs(c));
  for (std::size_t i = 0; i < 9; ++i) EXPECT_NEAR(f.stats.cov[i], e.cov[i], 1e-12 * largest) << i;
  EXPECT_EQ(f.stats.cov_exponent, e.cov_exponent);
}

void expect_values(const SetFit& f, const Expected& e) {
  if (e.method == Method::Taubin) {
    expect_close(f, e);
  } else {
    expect_bits(f, e);
  }
}

// The values tondrakit's Python statistics gave on these sets: to the bit where no LAPACK call
// is on the way.
TEST(SetFit, GivesTheKitsValuesForEveryMethod) {
  const std::array<Expected, 4> expected = {{
      {Method::Lsq,
       {0x1.3c66f20864d80p+3, 0x1.d7ffe9e509870p+1, 0x1.b59b6a3f98643p+4, 0x1.a4432c03c448ap-1},
       {0x1.a06b8a22a2e2ep+5, 0x1.8ae1845b513b4p+5, -0x1.08108e33ffff8p+6, 0x1.8ae1845b513b4p+5,
        0x1.8d671af766b8ep+5, -0x1.01bd0e83357d2p+6, -0x1.08108e33ffff8p+6, -0x1.01bd0e83357d2p+6,
        0x1.547cbfe8785e3p+6},
       0},
      {Method::NelderMead,
       {0x1.3c66f5fb1c736p+3, 0x1.d7fffaeb9a340p+1, 0x1.b59b6794be740p+4, 0x1.a4432c03c4503p-1},
       {0x1.a06b803d9abe8p+5, 0x1.8ae17a999d6eep+5, -0x1.08108785e622ap+6, 0x1.8ae17a999d6eep+5,
        0x1.8d67111238f9ep+5, -0x1.01bd07d68dc2ep+6, -0x1.08108785e622ap+6, -0x1.01bd07d68dc2ep+6,
        0x1.547cb6d961373p+6},
       0},
      {Method::Taubin,
       {0x1.326ceda4b3c2cp+3, 0x1.bd6d5392f20b0p+1, 0x1.bb0a522c583d3p+4, 0x1.a48f5a03fd032p-1},
       {0x1.b7d24e847b972p+5, 0x1.9f99d0095ab8bp+5, -0x1.170b58cf0e1bep+6, 0x1.9f99d0095ab8bp+5,
        0x1.a0296b5d8f7d3p+5, -0x1.0f2b3e2bf7659p+6, -0x1.170b58cf0e1bep+6, -0x1.0f2b3e2bf7659p+6,
        0x1.67c3e888a614cp+6},
       0},
      {Method::Centroid,
       {0x1.c000000000000p+4, 0x1.52aaaaaaaaaabp+4, 0x1.451303c9e693dp+3, 0x1.ba568d735a6ecp+1},
       {0x1.d24e71777b563p+5, 0x1.a0d67974011d1p+5, -0x1.25861497b4e1dp+2, 0x1.a0d67974011d1p+5,
        0x1.b257082004048p+5, -0x1.180cded766935p+2, -0x1.25861497b4e1dp+2, -0x1.180cded766935p+2,
        0x1.167f33d4f1130p+2},
       0},
  }};
  for (const Expected& e : expected) {
    SCOPED_TRACE(static_cast<int>(e.method));
    const SetFit f = fit(kDocX, kDocY, e.method);
    expect_values(f, e);
    EXPECT_EQ(f.n, 6);
    const bool iterative = e.method == Method::Lsq || e.method == Method::NelderMead;
    EXPECT_EQ(f.iterations >= 0, iterative);
    EXPECT_EQ(f.termination, iterative ? Termination::Converged : Termination::None);
  }
}

// Also the kit's values: a circle of radius 1e200 (covariance in units of 4^664), one of radius
// 1e-300 (subnormal centre, units of 4^-997), and a point exactly at the centroid, which gets no
// direction.
TEST(SetFit, GivesTheKitsValuesAtExtremeScalesAndForAPointAtTheCentre) {
  expect_values(fit({1e200, -1e200, 0, 0, 0.5e200}, {0, 0, 1e200, -1e200, 0.5e200}, Method::Taubin),
                {Method::Taubin,
                 {-0x1.db0e75cb56dc8p+659, -0x1.db0e75cb56dc0p+659, 0x1.3f50b37f52dc0p+664,
                  0x1.0d234d4b457b3p+661},
                 {0x1.314d07b6f807bp-6, -0x1.7807c942511f7p-9, -0x1.49071063c555cp-9,
                  -0x1.7807c942511f7p-9, 0x1.314d07b6f807bp-6, -0x1.49071063c555cp-9,
                  -0x1.49071063c555cp-9, -0x1.49071063c555cp-9, 0x1.35253b702413ep-7},
                 664});
  expect_bits(
      fit({1e-300, -1e-300, 0, 0, 0.6e-300}, {0, 0, 1e-300, -1e-300, 0.8e-300}, Method::Lsq),
      {Method::Lsq,
       {-0x0.007aa8bc00000p-1022, -0x0.0042452800000p-1022, 0x1.56e1fc2f9bdedp-997,
        0x0.0065af23d998fp-1022},
       {0x1.6a598fb6f69dap-69, -0x1.bb20e3ee3cd05p-72, -0x1.14f48e75f63fdp-72,
        -0x1.bb20e3ee3cd05p-72, 0x1.4a09d46da1bedp-69, -0x1.71461346ed17cp-72,
        -0x1.14f48e75f63fdp-72, -0x1.71461346ed17cp-72, 0x1.5a31b21256d56p-70},
       -997});
  expect_bits(fit({1, -1, 0, 0, 0}, {0, 0, 1, -1, 0}, Method::Centroid),
              {Method::Centroid,
               {0.0, 0.0, 0x1.999999999999ap-1, 0x1.999999999999ap-2},
               {0x1.999999999999ap-3, 0.0, 0.0, 0.0, 0x1.999999999999ap-3, 0.0, 0.0, 0.0,
                0x1.47ae147ae147bp-4},
               0});
}

TEST(SetFit, ChecksCoordinatesBeforeCountingThemAndCountsBeforeTheShape) {
  const SetFit few_nan = fit({kNaN, 1.0}, {1.0, 2.0}, Method::Lsq);
  EXPECT_EQ(few_nan.status, Status::NotFinite);
  EXPECT_EQ(fit({1.0, 2.0, 3.0}, {1.0, -kInf, 3.0}, Method::Taubin).status, Status::NotFinite);
  const SetFit two = fit({1.0, 1.0}, {2.0, 2.0}, Method::Lsq);
  EXPECT_EQ(two.status, Status::TooFew);
  EXPECT_EQ(two.n, 2);
  EXPECT_EQ(fit({}, {}, Method::Lsq).status, Status::TooFew);
  EXPECT_EQ(fit({0.1, 0.1, 0.1}, {0.7, 0.7, 0.7}, Method::Lsq).status, Status::Coincident);
  const SetFit line = fit({0, 1, 2, 3}, {1, 3, 5, 7}, Method::Centroid);
  EXPECT_EQ(line.status, Status::Collinear);
  EXPECT_EQ(line.n, 4);
  EXPECT_TRUE(std::isnan(line.cx));
  EXPECT_TRUE(std::isnan(line.stats.r));
}

TEST(SetFit, KeepsTheCentreAndRadiusThatAreNotFinite) {
  // The centroid of these overflows.
  const SetFit f = fit({1.7e308, 1.6e308, 1.5e308, 1.7e308}, {1e308, 1.7e308, 1e308, -1.7e308},
                       Method::Centroid);
  EXPECT_EQ(f.status, Status::NoFiniteCircle);
  EXPECT_EQ(f.cx, kInf);
  EXPECT_EQ(f.cy, kInf);
  EXPECT_EQ(f.stats.r, kInf);
  EXPECT_TRUE(std::isnan(f.stats.rms));
  EXPECT_TRUE(std::isnan(f.stats.cov[0]));
}

TEST(SetFit, GivesTheSameBitsOnManyThreadsAtOnce) {
  std::vector<double> x;
  std::vector<double> y;
  for (int i = 0; i < 50; ++i) {
    const double t = 0.05 * i;
    x.push_back(3.0 + 7.0 * std::cos(t) + 1e-3 * ((i * 7919) % 13 - 6));
    y.push_back(-2.0 + 7.0 * std::sin(t));
  }
  const Method methods[] = {Method::Lsq,      Method::NelderMead, Method::Taubin,
                            Method::Centroid, Method::Hyper,      Method::Geometric};
  std::vector<SetFit> serial;
  for (const Method m : methods) serial.push_back(fit(x, y, m));
  std::vector<std::thread> threads;
  std::vector<int> mismatches(8, 0);
  for (std::size_t t = 0; t < mismatches.size(); ++t) {
    threads.emplace_back([&, t] {
      Workspace work;
      for (int round = 0; round < 20; ++round) {
        for (std::size_t m = 0; m < std::size(methods); ++m) {
          const std::size_t k = (m + t) % std::size(methods);
          const SetFit f = fit_set(x, y, methods[k], work);
          const SetFit& s = serial[k];
          // Bits, NaN included.
          if (f.cx != s.cx || f.cy != s.cy || f.stats.r != s.stats.r ||
              std::memcmp(f.stats.cov.data(), s.stats.cov.data(), sizeof s.stats.cov) != 0) {
            ++mismatches[t];
          }
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (const int m : mismatches) EXPECT_EQ(m, 0);
}

}  // namespace
