#include "linalg/array.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "fault_capture.hpp"

namespace {

using tondra::base::Fault;
using tondra::linalg::Array1;
using tondra::linalg::Array1View;
using tondra::linalg::Array2;
using tondra::linalg::ErrorKind;
using tondra::linalg::ShapeError;
using tondra::linalg::stack_new_axis;

std::vector<double> iota(std::size_t n, double first = 0.0) {
  std::vector<double> values(n);
  std::iota(values.begin(), values.end(), first);
  return values;
}

auto stack3(const std::vector<double>& a, const std::vector<double>& b,
            const std::vector<double>& c) {
  return stack_new_axis({Array1View::of(a), Array1View::of(b), Array1View::of(c)});
}

using tondra::testing::fault_message;

TEST(ShapeError, TextNamesTheKindAndDescribesIt) {
  const std::pair<ErrorKind, const char*> cases[] = {
      {ErrorKind::IncompatibleShape, "ShapeError/IncompatibleShape: incompatible shapes"},
      {ErrorKind::IncompatibleLayout, "ShapeError/IncompatibleLayout: incompatible memory layout"},
      {ErrorKind::RangeLimited, "ShapeError/RangeLimited: the shape does not fit in type limits"},
      {ErrorKind::OutOfBounds, "ShapeError/OutOfBounds: out of bounds indexing"},
      {ErrorKind::Unsupported, "ShapeError/Unsupported: unsupported operation"},
      {ErrorKind::Overflow, "ShapeError/Overflow: arithmetic overflow"},
  };
  for (const auto& [kind, text] : cases) {
    EXPECT_EQ(debug_text(ShapeError::from_kind(kind)), text);
    EXPECT_EQ(to_string(ShapeError::from_kind(kind)), text);
  }
}

TEST(StackNewAxis, RefusesUnequalLengthsAndAnEmptyList) {
  const std::vector<double> five(5, 1.0);
  const std::vector<double> four(4, 1.0);
  const std::vector<double> three(3, 1.0);
  const std::vector<double> none;

  auto unequal = stack3(five, five, four);
  ASSERT_FALSE(unequal);
  EXPECT_EQ(unequal.error().kind, ErrorKind::IncompatibleShape);

  auto empty_first = stack3(none, none, three);
  ASSERT_FALSE(empty_first);
  EXPECT_EQ(empty_first.error().kind, ErrorKind::IncompatibleShape);

  auto nothing = stack_new_axis(std::span<const Array1View>{});
  ASSERT_FALSE(nothing);
  EXPECT_EQ(nothing.error().kind, ErrorKind::Unsupported);
}

TEST(StackNewAxis, ThreeEmptyArraysGiveThreeRowsWithZeroStrides) {
  const std::vector<double> none;
  const Array2 m = unwrap(stack3(none, none, none));
  EXPECT_EQ(m.rows(), 3u);
  EXPECT_EQ(m.cols(), 0u);
  EXPECT_EQ(m.strides(), (Array2::Strides{0, 0}));
  EXPECT_TRUE(m.is_contiguous());
}

// The Taubin fit's road: three vectors become the columns of a column-major matrix.
TEST(StackNewAxis, TransposedCopyOfStackedRowsIsColumnMajor) {
  constexpr std::size_t n = 4;
  const std::vector<double> w = iota(n, 0.0), u = iota(n, 10.0), v = iota(n, 20.0);
  const Array2 stacked = unwrap(stack3(w, u, v));
  EXPECT_EQ(stacked.rows(), 3u);
  EXPECT_EQ(stacked.cols(), n);
  EXPECT_EQ(stacked.strides(), (Array2::Strides{n, 1}));

  const auto transposed = stacked.t();
  EXPECT_EQ(transposed.rows(), n);
  EXPECT_EQ(transposed.cols(), 3u);
  EXPECT_EQ(transposed.strides(), (Array2::Strides{1, n}));
  EXPECT_EQ(transposed.data(), stacked.data()) << "a transposed view copies nothing";

  const Array2 m = transposed.to_owned();
  EXPECT_EQ(m.strides(), (Array2::Strides{1, n}));
  EXPECT_NE(m.data(), stacked.data());
  const std::vector<double>* columns[] = {&w, &u, &v};
  for (std::size_t j = 0; j < 3; ++j) {
    for (std::size_t i = 0; i < n; ++i) {
      EXPECT_EQ(m(i, j), (*columns[j])[i]);
      EXPECT_EQ(m.data()[j * n + i], (*columns[j])[i]) << "column " << j << " is contiguous";
    }
  }
}

TEST(ArrayBase, OwnedVectorArrayTakesOverTheBuffer) {
  std::vector<double> values = iota(5);
  const double* buffer = values.data();
  const Array1 a = Array1::from_vec(std::move(values));
  EXPECT_EQ(a.data(), buffer);
  EXPECT_EQ(a.len(), 5u);
  EXPECT_EQ(a.strides()[0], 1);
  EXPECT_EQ(Array1::from_vec({}).strides()[0], 0);
}

TEST(ArrayBase, ColumnViewStartsAtTheColumnAndStepsByRows) {
  const Array2 m = unwrap(Array2::from_row_major(3, 3, iota(9)));
  const Array1View column = m.column(2);
  EXPECT_EQ(column.len(), 3u);
  EXPECT_EQ(column.strides()[0], 3);
  EXPECT_EQ(column.data(), m.data() + 2);
  EXPECT_EQ(column(0), 2.0);
  EXPECT_EQ(column(1), 5.0);
  EXPECT_EQ(column(2), 8.0);
}

TEST(ArrayBase, BadIndicesFault) {
  const Array2 m = unwrap(Array2::from_row_major(3, 3, iota(9)));
  EXPECT_EQ(fault_message([&] { (void)m.column(3); }), "assertion failed: index < dim");
  EXPECT_EQ(fault_message([&] { (void)m(1, 3); }),
            "index out of bounds: the len is 3 but the index is 3");
  EXPECT_EQ(fault_message([&] { (void)m.column(0)(7); }),
            "index out of bounds: the len is 3 but the index is 7");
}

TEST(ArrayBase, ContiguityFollowsTheFastAndSlowAxes) {
  EXPECT_TRUE(unwrap(Array2::from_row_major(3, 2, iota(6))).is_contiguous());
  EXPECT_TRUE(unwrap(Array2::from_col_major(3, 2, iota(6))).is_contiguous());
  // Every second column of a 3 x 6 row-major matrix: strides (6, 2).
  const Array2 every_second = unwrap(Array2::from_shape_strides(iota(18), {3, 3}, {6, 2}));
  EXPECT_FALSE(every_second.is_contiguous());
  EXPECT_FALSE(every_second.memory_block().has_value());
  // A backwards axis still fills one block.
  EXPECT_TRUE(unwrap(Array2::from_shape_strides(iota(4), {2, 2}, {1, -2})).is_contiguous());
  // A single row with any row stride is one block.
  EXPECT_TRUE(unwrap(Array2::from_shape_strides(iota(3), {1, 3}, {7, 1})).is_contiguous());
}

TEST(ArrayBase, ToOwnedKeepsABlockAsItLiesAndCopiesAGappedArrayInLogicalOrder) {
  const Array2 every_second = unwrap(Array2::from_shape_strides(iota(18), {3, 3}, {6, 2}));
  const Array2 gapless = every_second.to_owned();
  EXPECT_EQ(gapless.strides(), (Array2::Strides{3, 1}));
  for (std::size_t i = 0; i < 3; ++i) {
    for (std::size_t j = 0; j < 3; ++j) EXPECT_EQ(gapless(i, j), 6.0 * i + 2.0 * j);
  }

  // Logical element 0 sits at buffer offset 2: (i, j) is at 2 + i - 2j.
  const Array2 backwards = unwrap(Array2::from_shape_strides(iota(4), {2, 2}, {1, -2}));
  const Array2 copy = backwards.to_owned();
  EXPECT_EQ(copy.strides(), (Array2::Strides{1, -2}));
  const double expected[2][2] = {{2, 0}, {3, 1}};
  for (std::size_t i = 0; i < 2; ++i) {
    for (std::size_t j = 0; j < 2; ++j) EXPECT_EQ(copy(i, j), expected[i][j]);
  }
}

TEST(ArrayBase, FromShapeStridesRefusesShortBuffersAndAliasing) {
  auto too_short = Array2::from_shape_strides(iota(16), {3, 3}, {6, 2});
  ASSERT_FALSE(too_short);
  EXPECT_EQ(too_short.error().kind, ErrorKind::OutOfBounds);
  auto aliased = Array2::from_shape_strides(iota(9), {3, 3}, {1, 1});
  ASSERT_FALSE(aliased);
  EXPECT_EQ(aliased.error().kind, ErrorKind::Unsupported);
  auto wrong_count = Array2::from_row_major(2, 2, iota(5));
  ASSERT_FALSE(wrong_count);
  EXPECT_EQ(wrong_count.error().kind, ErrorKind::IncompatibleShape);
  auto overflow = Array2::from_row_major(std::size_t{1} << 62, 4, {});
  ASSERT_FALSE(overflow);
  EXPECT_EQ(overflow.error().kind, ErrorKind::Overflow);
}

TEST(AllFinite, FindsNaNAndInfinityAnywhere) {
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  EXPECT_TRUE(tondra::linalg::all_finite(std::span<const double>{}));
  EXPECT_TRUE(tondra::linalg::all_finite(unwrap(Array2::from_row_major(2, 3, iota(6)))));

  std::vector<double> values = iota(18);
  values[16] = kNaN;  // inside the every-second-column view
  const auto every_second = [&] {
    return unwrap(Array2::from_shape_strides(values, {3, 3}, {6, 2}));
  };
  EXPECT_FALSE(tondra::linalg::all_finite(every_second()));
  values[16] = 16.0;
  values[17] = kInf;  // in the gap of that view only
  EXPECT_TRUE(tondra::linalg::all_finite(every_second()));
  EXPECT_FALSE(tondra::linalg::all_finite(Array1View::of(values)));
  EXPECT_FALSE(tondra::linalg::all_finite(std::span<const double>(values)));
}

}  // namespace
