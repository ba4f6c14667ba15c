#include "kernel/set_fit.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "fits/circle_fit.hpp"
#include "kernel/covariance.hpp"

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

// r is the mean distance and rms the root mean square of d - r, each sum in index order from
// +0.0: the definitions, to the bit.
void expect_radius_and_rms(const SetFit& f, const std::vector<double>& x,
                           const std::vector<double>& y) {
  std::vector<double> d(x.size());
  double sum = +0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double dx = x[i] - f.cx;
    const double dy = y[i] - f.cy;
    d[i] = std::sqrt(dx * dx + dy * dy);
    sum += d[i];
  }
  const double r = sum / static_cast<double>(x.size());
  double see = +0.0;
  for (const double di : d) see += (di - r) * (di - r);
  EXPECT_EQ(f.stats.r, r);
  EXPECT_EQ(f.stats.rms, std::sqrt(see / static_cast<double>(x.size())));
}

// The centre is the native module's own, to the bit (Taubin's through LAPACK to 1e-12 of r); r
// and rms are their definitions; the covariance agrees with the stable form's independent algebra
// to rounding; and data scaled by 2^k give every result scaled by 2^k (the covariance by 4^k),
// to the bit, as every frame on the way is a power of two.
TEST(SetFit, TakesTheNativeCentreAndDefinesItsStatistics) {
  constexpr double kTaubinRounding = 1e-12;
  constexpr double kSameCovariance = 1e-9;  // two algebras of one 3 x 3 inverse
  std::vector<double> big_x = kDocX;
  std::vector<double> big_y = kDocY;
  for (double& v : big_x) v = std::ldexp(v, 40);
  for (double& v : big_y) v = std::ldexp(v, 40);
  for (const Method method : {Method::Lsq, Method::NelderMead, Method::Taubin, Method::Centroid}) {
    SCOPED_TRACE(static_cast<int>(method));
    const SetFit f = fit(kDocX, kDocY, method);
    ASSERT_EQ(f.status, Status::Ok);
    EXPECT_EQ(f.n, 6);
    std::vector<double> native;
    if (method == Method::Lsq) native = tondra::fit_lsq(kDocX, kDocY, "lbfgs");
    if (method == Method::NelderMead) native = tondra::fit_lsq(kDocX, kDocY, "nelder_mead");
    if (method == Method::Taubin) native = tondra::taubin_svd(kDocX, kDocY);
    if (method == Method::Centroid) native = tondra::fit_geometrical(kDocX, kDocY);
    if (method == Method::Taubin) {
      EXPECT_NEAR(f.cx, native[0], kTaubinRounding * f.stats.r);
      EXPECT_NEAR(f.cy, native[1], kTaubinRounding * f.stats.r);
    } else {
      EXPECT_EQ(f.cx, native[0]);
      EXPECT_EQ(f.cy, native[1]);
    }
    expect_radius_and_rms(f, kDocX, kDocY);
    const bool iterative = method == Method::Lsq || method == Method::NelderMead;
    EXPECT_EQ(f.iterations >= 0, iterative);
    EXPECT_EQ(f.termination, iterative ? Termination::Converged : Termination::None);
    EXPECT_EQ(f.stats.cov_exponent, 0);
    const std::array<double, 9> stable =
        tondra::kit::covariance_at(kDocX, kDocY, f.cx, f.cy, f.stats.r, true);
    for (std::size_t k = 0; k < 9; ++k) {
      // Where the solver stopped short of a minimum the first-order covariance means nothing.
      if (iterative && !f.converged) {
        EXPECT_TRUE(std::isnan(f.stats.cov[k])) << k;
      } else {
        EXPECT_NEAR(f.stats.cov[k], stable[k], kSameCovariance * (stable[0] + stable[8])) << k;
      }
    }
    if (method == Method::Taubin) continue;  // LAPACK's bits need not scale
    const SetFit big = fit(big_x, big_y, method);
    EXPECT_EQ(big.cx, std::ldexp(f.cx, 40));
    EXPECT_EQ(big.cy, std::ldexp(f.cy, 40));
    EXPECT_EQ(big.stats.r, std::ldexp(f.stats.r, 40));
    EXPECT_EQ(big.stats.rms, std::ldexp(f.stats.rms, 40));
    EXPECT_EQ(big.converged, f.converged);
    for (std::size_t k = 0; k < 9; ++k) {
      const double scaled = std::ldexp(f.stats.cov[k], 80);
      EXPECT_EQ(std::bit_cast<std::uint64_t>(big.stats.cov[k]),
                std::bit_cast<std::uint64_t>(scaled))
          << k;
    }
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
