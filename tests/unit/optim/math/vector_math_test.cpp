#include "optim/math/vector_math.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <source_location>
#include <vector>

#include "fault_capture.hpp"

namespace {

using tondra::testing::fault_message;
using Vec = std::vector<double>;
namespace optim = tondra::optim;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(VectorMath, ElementWiseOperationsWorkPerElement) {
  EXPECT_EQ(optim::add(Vec{1.0, 2.0}, Vec{0.5, -4.0}), (Vec{1.5, -2.0}));
  EXPECT_EQ(optim::sub(Vec{1.0, 2.0}, Vec{0.5, -4.0}), (Vec{0.5, 6.0}));
  EXPECT_EQ(optim::mul(Vec{1.0, -2.0}, 3.0), (Vec{3.0, -6.0}));
  EXPECT_TRUE(optim::mul(Vec{}, 3.0).empty());
}

TEST(VectorMath, DotUsesTheShorterLengthAndNormHasNoScaling) {
  EXPECT_EQ(optim::dot(Vec{1.0, 2.0, 100.0}, Vec{3.0, 4.0}), 11.0);
  EXPECT_EQ(optim::dot(Vec{}, Vec{1.0}), 0.0);
  EXPECT_EQ(optim::norm(Vec{3.0, 4.0}), 5.0);
  EXPECT_EQ(optim::norm(Vec{}), 0.0);
  EXPECT_EQ(optim::norm(Vec{1e200, 0.0}), kInf);
}

TEST(VectorMath, MinAndMaxPreferTheSecondOperandOnNaN) {
  const Vec mins = optim::min(Vec{1.0, 5.0, kNaN, 2.0}, Vec{2.0, 3.0, 7.0, kNaN});
  EXPECT_EQ(mins[0], 1.0);
  EXPECT_EQ(mins[1], 3.0);
  EXPECT_EQ(mins[2], 7.0);
  EXPECT_TRUE(std::isnan(mins[3]));
  const Vec maxs = optim::max(Vec{1.0, 5.0, kNaN, 2.0}, Vec{2.0, 3.0, 7.0, kNaN});
  EXPECT_EQ(maxs[0], 2.0);
  EXPECT_EQ(maxs[1], 5.0);
  EXPECT_EQ(maxs[2], 7.0);
  EXPECT_TRUE(std::isnan(maxs[3]));
}

TEST(VectorMath, UnqualifiedMinOnVectorsIsElementWise) {
  using namespace tondra::optim;
  // std::min would compare the vectors lexicographically and return {1.0, 9.0}.
  EXPECT_EQ(min(Vec{1.0, 9.0}, Vec{2.0, 0.0}), (Vec{1.0, 0.0}));
}

TEST(VectorMath, SignumKeepsTheSignOfZeroAndPropagatesNaN) {
  const Vec s = optim::signum(Vec{+0.0, -0.0, 3.5, -kInf, kNaN});
  EXPECT_EQ(s[0], 1.0);
  EXPECT_EQ(s[1], -1.0);
  EXPECT_EQ(s[2], 1.0);
  EXPECT_EQ(s[3], -1.0);
  EXPECT_TRUE(std::isnan(s[4]));
}

TEST(VectorMath, BrokenPreconditionsFaultWithTheirConditions) {
  EXPECT_EQ(fault_message([] { (void)optim::add(Vec{}, Vec{}); }), "assertion failed: n1 > 0");
  EXPECT_EQ(fault_message([] { (void)optim::add(Vec{1.0}, Vec{}); }), "assertion failed: n2 > 0");
  EXPECT_EQ(fault_message([] { (void)optim::add(Vec{1.0, 2.0}, Vec{1.0, 2.0, 3.0}); }),
            "assertion `left == right` failed\n  left: 2\n right: 3");
  EXPECT_EQ(fault_message([] { (void)optim::sub(Vec{}, Vec{1.0}); }), "assertion failed: n1 > 0");
  EXPECT_EQ(fault_message([] { (void)optim::sub(Vec{1.0}, Vec{}); }),
            "assertion `left == right` failed\n  left: 1\n right: 0");
  EXPECT_EQ(fault_message([] { (void)optim::mul(Vec{1.0}, Vec{}); }), "assertion failed: n2 > 0");
  EXPECT_EQ(fault_message([] { (void)optim::min(Vec{}, Vec{}); }),
            "assertion failed: !x.is_empty()");
  EXPECT_EQ(fault_message([] { (void)optim::max(Vec{1.0, 2.0}, Vec{1.0}); }),
            "assertion `left == right` failed\n  left: 2\n right: 1");
}

// The in-place updates must be the two-step expressions they replace, bit for bit (no fused
// multiply-add, the product rounded first) and with the same faults.
TEST(VectorMath, ScaledUpdatesInPlaceEqualTheirTwoStepForms) {
  const Vec a{0.1, -3.0e300, 1.0};
  const Vec b{0.7, 5.0e300, kNaN};
  const double s = 1.0 / 3.0;
  optim::Vector down(a);
  optim::sub_scaled(down, b, s);
  EXPECT_EQ(down[0], optim::sub(a, optim::mul(b, s))[0]);
  EXPECT_EQ(down[1], optim::sub(a, optim::mul(b, s))[1]);
  EXPECT_TRUE(std::isnan(down[2]));
  optim::Vector up(a);
  optim::add_scaled(up, b, s);
  EXPECT_EQ(up[0], optim::add(a, optim::mul(b, s))[0]);
  EXPECT_EQ(up[1], optim::add(a, optim::mul(b, s))[1]);

  EXPECT_EQ(fault_message([] {
              optim::Vector empty;
              optim::sub_scaled(empty, Vec{1.0}, 2.0);
            }),
            "assertion failed: n1 > 0");
  EXPECT_EQ(fault_message([] {
              optim::Vector one{1.0};
              optim::add_scaled(one, Vec{}, 2.0);
            }),
            "assertion failed: n2 > 0");
  EXPECT_EQ(fault_message([] {
              optim::Vector two{1.0, 2.0};
              optim::sub_scaled(two, Vec{1.0}, 2.0);
            }),
            "assertion `left == right` failed\n  left: 2\n right: 1");
}

TEST(VectorMath, FaultIsReportedAtTheCallersLine) {
  unsigned call_line = 0;
  try {
    call_line = std::source_location::current().line() + 1;  // the line of the call below
    (void)optim::sub(Vec{1.0}, Vec{1.0, 2.0});
    FAIL() << "no fault";
  } catch (const tondra::base::Fault& f) {
    EXPECT_STREQ(f.where().file, "tests/unit/optim/math/vector_math_test.cpp");
    EXPECT_EQ(f.where().line, call_line);
  }
}

}  // namespace
