#include "base/stop.hpp"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using tondra::base::poll_stop;
using tondra::base::ScopedStopCheck;
using tondra::base::StopCheck;
using tondra::base::Stopped;

class Counting final : public StopCheck {
 public:
  bool stop_now() override {
    ++asked;
    return stop;
  }
  int asked = 0;
  bool stop = false;
};

TEST(Stop, WithoutACheckNothingStops) {
  for (int i = 0; i < 1000; ++i) poll_stop(1 << 20);
}

TEST(Stop, TheCheckIsAskedOnlyAfterItsIntervalAndThenStops) {
  Counting check;
  const ScopedStopCheck scoped(check, std::chrono::milliseconds(0));
  poll_stop(1);  // too little work to read the clock
  EXPECT_EQ(check.asked, 0);
  poll_stop(1 << 20);
  EXPECT_EQ(check.asked, 1);
  check.stop = true;
  EXPECT_THROW(poll_stop(1 << 20), Stopped);
}

TEST(Stop, ALongIntervalKeepsTheCheckUnasked) {
  Counting check;
  const ScopedStopCheck scoped(check, std::chrono::hours(1));
  for (int i = 0; i < 100; ++i) poll_stop(1 << 20);
  EXPECT_EQ(check.asked, 0);
}

TEST(Stop, AnInnerCheckGivesWayToTheOuterOne) {
  Counting outer;
  Counting inner;
  const ScopedStopCheck scoped(outer, std::chrono::milliseconds(0));
  {
    const ScopedStopCheck nested(inner, std::chrono::milliseconds(0));
    poll_stop(1 << 20);
  }
  poll_stop(1 << 20);
  EXPECT_EQ(inner.asked, 1);
  EXPECT_EQ(outer.asked, 1);
}

}  // namespace
