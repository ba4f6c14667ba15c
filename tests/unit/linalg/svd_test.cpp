#include "linalg/svd.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <limits>
#include <numbers>
#include <thread>
#include <vector>

#include "fault_capture.hpp"

namespace {

using tondra::linalg::Array1View;
using tondra::linalg::Array2;
using tondra::linalg::ErrorKind;
using tondra::linalg::Lapack;
using tondra::linalg::LapackError;
using tondra::linalg::LinalgError;
using tondra::linalg::ShapeError;
using tondra::linalg::StorageLayout;
using tondra::linalg::svd_into;
using tondra::linalg::SvdResult;
using tondra::linalg::SvdWork;

// LAPACK's backward error is a small multiple of machine epsilon times the matrix norm.
constexpr double kTol = 1e-12;

// The textbook example A = [[3, 2, 2], [2, 3, -2]]: A·Aᵀ = [[17, 8], [8, 17]], eigenvalues 25
// and 9, so the singular values are 5 and 3; the right singular vectors are (1, 1, 0)/√2,
// (1, -1, 4)/√18 and (2, -2, -1)/3, each up to sign.
const std::vector<double> kRowMajor = {3, 2, 2, 2, 3, -2};
const std::vector<double> kColMajor = {3, 2, 2, 3, 2, -2};
const double kA[2][3] = {{3, 2, 2}, {2, 3, -2}};

// U·diag(S)·Vᵀ, compared with the expected matrix, and the orthonormality of U's columns and
// Vᵀ's rows.
void expect_decomposition(const SvdResult& svd, std::size_t rows, std::size_t cols,
                          const auto& expected) {
  ASSERT_TRUE(svd.u.has_value());
  ASSERT_TRUE(svd.vt.has_value());
  const Array2& u = *svd.u;
  const Array2& vt = *svd.vt;
  ASSERT_EQ(u.rows(), rows);
  ASSERT_EQ(vt.rows(), cols);
  for (std::size_t i = 0; i < rows; ++i) {
    for (std::size_t j = 0; j < cols; ++j) {
      double rebuilt = 0.0;
      for (std::size_t l = 0; l < svd.s.len(); ++l) rebuilt += u(i, l) * svd.s(l) * vt(l, j);
      EXPECT_NEAR(rebuilt, expected(i, j), kTol) << "element (" << i << ", " << j << ")";
    }
  }
  for (std::size_t a = 0; a < cols; ++a) {
    for (std::size_t b = 0; b < cols; ++b) {
      double dot = 0.0;
      for (std::size_t j = 0; j < cols; ++j) dot += vt(a, j) * vt(b, j);
      EXPECT_NEAR(dot, a == b ? 1.0 : 0.0, kTol) << "rows " << a << ", " << b << " of VT";
    }
  }
  for (std::size_t a = 0; a < rows; ++a) {
    for (std::size_t b = 0; b < rows; ++b) {
      double dot = 0.0;
      for (std::size_t i = 0; i < rows; ++i) dot += u(i, a) * u(i, b);
      EXPECT_NEAR(dot, a == b ? 1.0 : 0.0, kTol) << "columns " << a << ", " << b << " of U";
    }
  }
}

// Row `row` of vt equals ±expected.
void expect_row_up_to_sign(const Array2& vt, std::size_t row, const std::vector<double>& expected) {
  double dot = 0.0;
  for (std::size_t j = 0; j < 3; ++j) dot += vt(row, j) * expected[j];
  const double sign = dot < 0.0 ? -1.0 : 1.0;
  for (std::size_t j = 0; j < 3; ++j) EXPECT_NEAR(vt(row, j), sign * expected[j], kTol);
}

void expect_known_example(const SvdResult& svd) {
  ASSERT_EQ(svd.s.len(), 2u);
  EXPECT_NEAR(svd.s(0), 5.0, kTol);
  EXPECT_NEAR(svd.s(1), 3.0, kTol);
  expect_decomposition(svd, 2, 3, [](std::size_t i, std::size_t j) { return kA[i][j]; });
  const double r2 = std::numbers::sqrt2;
  expect_row_up_to_sign(*svd.vt, 0, {1 / r2, 1 / r2, 0});
  expect_row_up_to_sign(*svd.vt, 1, {1 / (3 * r2), -1 / (3 * r2), 4 / (3 * r2)});
  expect_row_up_to_sign(*svd.vt, 2, {2.0 / 3, -2.0 / 3, -1.0 / 3});
}

SvdResult svd_of(Array2 m, bool wants_u, bool wants_vt) {
  return unwrap(svd_into(std::move(m), wants_u, wants_vt));
}

LinalgError svd_error(Array2 m) {
  auto svd = svd_into(std::move(m), true, true);
  EXPECT_FALSE(svd);
  return svd ? LinalgError{LinalgError::MemoryNotCont{}} : svd.error();
}

TEST(SvdInto, DecomposesAColumnMajorMatrix) {
  const SvdResult svd = svd_of(unwrap(Array2::from_col_major(2, 3, kColMajor)), true, true);
  EXPECT_EQ(svd.u->strides(), (Array2::Strides{1, 2}));
  EXPECT_EQ(svd.vt->strides(), (Array2::Strides{1, 3}));
  expect_known_example(svd);
}

TEST(SvdInto, DecomposesARowMajorMatrixWithoutReordering) {
  const SvdResult svd = svd_of(unwrap(Array2::from_row_major(2, 3, kRowMajor)), true, true);
  EXPECT_EQ(svd.u->strides(), (Array2::Strides{2, 1}));
  EXPECT_EQ(svd.vt->strides(), (Array2::Strides{3, 1}));
  expect_known_example(svd);
}

TEST(SvdInto, ComputesOnlyTheWantedSides) {
  for (const bool row_major : {false, true}) {
    auto m = [&] {
      return row_major ? unwrap(Array2::from_row_major(2, 3, kRowMajor))
                       : unwrap(Array2::from_col_major(2, 3, kColMajor));
    };
    const SvdResult vt_only = svd_of(m(), false, true);
    EXPECT_FALSE(vt_only.u.has_value());
    ASSERT_TRUE(vt_only.vt.has_value());
    expect_row_up_to_sign(*vt_only.vt, 2, {2.0 / 3, -2.0 / 3, -1.0 / 3});

    const SvdResult u_only = svd_of(m(), true, false);
    EXPECT_TRUE(u_only.u.has_value());
    EXPECT_FALSE(u_only.vt.has_value());

    const SvdResult values_only = svd_of(m(), false, false);
    EXPECT_FALSE(values_only.u || values_only.vt);
    EXPECT_NEAR(values_only.s(1), 3.0, kTol);
  }
}

TEST(SvdInto, SingleRowGivesOneValueAndAFullVt) {
  const SvdResult svd = svd_of(unwrap(Array2::from_col_major(1, 3, {2, -1, 2})), false, true);
  ASSERT_EQ(svd.s.len(), 1u);
  EXPECT_NEAR(svd.s(0), 3.0, kTol);
  const Array2& vt = *svd.vt;
  ASSERT_EQ(vt.rows(), 3u);
  expect_row_up_to_sign(vt, 0, {2.0 / 3, -1.0 / 3, 2.0 / 3});
  for (std::size_t row = 1; row < 3; ++row) {
    EXPECT_NEAR(2 * vt(row, 0) - vt(row, 1) + 2 * vt(row, 2), 0.0, kTol) << "null row " << row;
  }
}

// Points on a circle: the Taubin columns (w, u, v) satisfy 2r·w - 2a·u - 2b·v = 0, where (a, b)
// is the centre relative to the centroid, so the last row of VT is that null vector.
TEST(SvdInto, TaubinMatrixFromStackedColumnsHasTheCircleAsNullVector) {
  constexpr std::size_t n = 20;
  constexpr double kCx = 3.0, kCy = 4.0, kRadius = 5.0;
  std::vector<double> x(n), y(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double angle = 1.5 * static_cast<double>(i) / (n - 1);
    x[i] = kCx + kRadius * std::cos(angle);
    y[i] = kCy + kRadius * std::sin(angle);
  }
  double mx = 0.0, my = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    mx += x[i];
    my += y[i];
  }
  mx /= n;
  my /= n;
  std::vector<double> u(n), v(n), z(n), w(n);
  double mz = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    u[i] = x[i] - mx;
    v[i] = y[i] - my;
    z[i] = u[i] * u[i] + v[i] * v[i];
    mz += z[i];
  }
  mz /= n;
  const double r = std::sqrt(mz);
  for (std::size_t i = 0; i < n; ++i) w[i] = (z[i] - mz) / (r + r);

  auto stacked =
      tondra::linalg::stack_new_axis({Array1View::of(w), Array1View::of(u), Array1View::of(v)});
  Array2 m = unwrap(std::move(stacked)).t().to_owned();
  ASSERT_EQ(m.strides(), (Array2::Strides{1, n}));
  const SvdResult svd = svd_of(std::move(m), false, true);
  EXPECT_FALSE(svd.u.has_value());
  ASSERT_EQ(svd.s.len(), 3u);
  EXPECT_NEAR(svd.s(2), 0.0, kTol);
  const double a = kCx - mx, b = kCy - my;
  const double norm = std::sqrt(r * r + a * a + b * b);
  expect_row_up_to_sign(*svd.vt, 2, {r / norm, -a / norm, -b / norm});
}

TEST(SvdInto, RefusesStorageThatLapackCannotBeToldAbout) {
  using E = LinalgError;
  const auto strided = [](std::size_t buffer, Array2::Shape shape, Array2::Strides strides) {
    return unwrap(Array2::from_shape_strides(std::vector<double>(buffer, 1.0), shape, strides));
  };
  // Every second column of a 3 x 6 row-major matrix: neither order.
  EXPECT_EQ(svd_error(strided(18, {3, 3}, {6, 2})), (E{E::InvalidStride{6, 2}}));
  // s1 = rows says column-major, but each column skips every other element.
  EXPECT_EQ(svd_error(strided(6, {2, 2}, {3, 2})), (E{E::MemoryNotCont{}}));
  // One block, but LAPACK would see the rows reversed.
  EXPECT_EQ(svd_error(strided(4, {2, 2}, {-1, 2})), (E{E::InvalidStride{-1, 2}}));
}

TEST(SvdInto, RefusesMatricesWithoutElements) {
  const std::vector<double> none;
  using E = LinalgError;
  const auto empty = Array1View::of(none);
  auto stacked = tondra::linalg::stack_new_axis({empty, empty, empty});
  EXPECT_EQ(svd_error(unwrap(std::move(stacked)).t().to_owned()), (E{E::EmptyMatrix{0, 3}}));
  EXPECT_EQ(svd_error(unwrap(Array2::from_row_major(3, 0, {}))), (E{E::EmptyMatrix{3, 0}}));
  EXPECT_EQ(svd_error(unwrap(Array2::from_col_major(0, 2, {}))), (E{E::EmptyMatrix{0, 2}}));
}

// LAPACK has been seen never to return on a 3 x 3 matrix holding an infinity in its first
// element, so the refusal must come first; a regression would hang, which the watchdog turns
// into a failure.
TEST(SvdInto, RefusesNonFiniteMatricesPromptly) {
  constexpr auto kPrompt = std::chrono::seconds(20);
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const std::vector<std::vector<double>> matrices = {
      {kInf, 2, 3, 4, 5, 6, 7, 8, 9},
      {1, 2, 3, 4, kNaN, 6, 7, 8, 9},
      {1, 2, 3, 4, 5, 6, 7, 8, -kInf},
      {kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN},
  };
  for (const auto& values : matrices) {
    for (const bool row_major : {false, true}) {
      Array2 m = row_major ? unwrap(Array2::from_row_major(3, 3, values))
                           : unwrap(Array2::from_col_major(3, 3, values));
      std::packaged_task<LinalgError()> task(
          [m = std::move(m)]() mutable { return svd_error(std::move(m)); });
      auto result = task.get_future();
      std::thread(std::move(task)).detach();
      if (result.wait_for(kPrompt) != std::future_status::ready) {
        std::fputs("svd_into did not return on a non-finite matrix\n", stderr);
        std::abort();  // the stuck thread cannot be stopped
      }
      EXPECT_EQ(result.get(), (LinalgError{LinalgError::NonFiniteInput{}}));
    }
  }
}

TEST(Lapack, GuardsItsOwnBuffer) {
  std::vector<double> values = {3, 2, 2, 3, 2, -2};
  const auto layout = StorageLayout::column_major(3, 2);
  const LapackError invalid_shape{LapackError::InvalidShape{}};

  auto short_buffer = Lapack::svd(layout, false, true, std::span<double>(values).first(5));
  ASSERT_FALSE(short_buffer);
  EXPECT_EQ(short_buffer.error(), invalid_shape);

  auto no_rows = Lapack::svd(StorageLayout::column_major(3, 0), false, true, {});
  ASSERT_FALSE(no_rows);
  EXPECT_EQ(no_rows.error(), invalid_shape);

  values[4] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(tondra::testing::fault_message([&] { (void)Lapack::svd(layout, false, true, values); }),
            "assertion failed: all_finite(a)");

  values[4] = 2.0;
  const auto out = unwrap(Lapack::svd(layout, false, true, values));
  EXPECT_FALSE(out.u.has_value());
  ASSERT_TRUE(out.vt.has_value());
  EXPECT_EQ(out.vt->size(), 9u);
  EXPECT_NEAR(out.s[0], 5.0, kTol);
}

TEST(SvdWork, ChoosesJobsByLayoutAndWantedSides) {
  const auto column = unwrap(SvdWork::create(StorageLayout::column_major(3, 20), false, true));
  EXPECT_EQ(column.lapack_jobu(), 'N');
  EXPECT_EQ(column.lapack_jobvt(), 'A');
  // The same memory read as row-major is the transpose: LAPACK's U is the matrix's V.
  const auto row = unwrap(SvdWork::create(StorageLayout::row_major(20, 3), false, true));
  EXPECT_EQ(row.lapack_jobu(), 'A');
  EXPECT_EQ(row.lapack_jobvt(), 'N');
}

TEST(LinalgError, DebugTextsNameTheVariantAndItsFields) {
  using E = LinalgError;
  using L = LapackError;
  EXPECT_EQ(debug_text(E{E::Lapack{L{L::LapackComputationalFailure{2}}}}),
            "Lapack(LapackComputationalFailure { return_code: 2 })");
  EXPECT_EQ(debug_text(E{E::Lapack{L{L::LapackInvalidValue{-4}}}}),
            "Lapack(LapackInvalidValue { return_code: -4 })");
  EXPECT_EQ(debug_text(E{E::Lapack{L{L::InvalidShape{}}}}), "Lapack(InvalidShape)");
  EXPECT_EQ(debug_text(E{E::InvalidStride{6, 2}}), "InvalidStride { s0: 6, s1: 2 }");
  EXPECT_EQ(debug_text(E{E::MemoryNotCont{}}), "MemoryNotCont");
  EXPECT_EQ(debug_text(E{E::NotSquare{2, 3}}), "NotSquare { rows: 2, cols: 3 }");
  EXPECT_EQ(debug_text(E{E::NotStandardShape{1, 2, 3}}),
            "NotStandardShape { obj: 1, rows: 2, cols: 3 }");
  EXPECT_EQ(debug_text(E{E::Shape{ShapeError::from_kind(ErrorKind::IncompatibleShape)}}),
            "Shape(ShapeError/IncompatibleShape: incompatible shapes)");
  EXPECT_EQ(debug_text(E{E::NonFiniteInput{}}), "NonFiniteInput");
  EXPECT_EQ(debug_text(E{E::EmptyMatrix{0, 3}}), "EmptyMatrix { rows: 0, cols: 3 }");
}

}  // namespace
