#include "base/fault.hpp"

#include <gtest/gtest.h>

#include <source_location>

#include "base/result.hpp"

namespace {

using tondra::base::Fault;

TEST(Fault, CarriesMessageAndCallerPosition) {
  unsigned call_line = 0;
  try {
    call_line = std::source_location::current().line() + 1;  // the line of the call below
    tondra::base::check_index(3, 3);
    FAIL() << "no fault";
  } catch (const Fault& f) {
    EXPECT_EQ(f.message(), "index out of bounds: the len is 3 but the index is 3");
    EXPECT_STREQ(f.where().file, "tests/unit/base/fault_test.cpp");
    EXPECT_EQ(f.where().line, call_line);
  }
}

struct SmallError {
  int code;
};
std::string debug_text(const SmallError& e) {
  return "SmallError { code: " + std::to_string(e.code) + " }";
}

TEST(Result, UnwrapOfAnErrorFaultsWithItsDebugText) {
  tondra::base::Result<int, SmallError> r = SmallError{-2};
  EXPECT_FALSE(r.has_value());
  try {
    (void)tondra::base::unwrap(std::move(r));
    FAIL() << "no fault";
  } catch (const Fault& f) {
    EXPECT_EQ(f.message(), "called `Result::unwrap()` on an `Err` value: SmallError { code: -2 }");
  }
  EXPECT_EQ(tondra::base::unwrap(tondra::base::Result<int, SmallError>(7)), 7);
}

}  // namespace
