#include "kernel/space_frame.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "base/fault.hpp"
#include "fits/binary_scale.hpp"
#include "kernel/numbers.hpp"
#include "kernel/plane_length.hpp"

namespace tondra::kit {
namespace {

// As in unit_frame.cpp: below this the factor 2^-e would not be a double.
constexpr int kSmallestFirstExponent = -1022;
// Points whose RMS distance from a plane or line is within this many roundings of a coordinate
// lie on it: generous, since the distances themselves are computed from rounded coordinates.
constexpr double kFlatRoundings = 64.0;
// Jacobi's sweeps: a 3 x 3 matrix is diagonal to rounding after about 5.
constexpr int kSweeps = 32;

}  // namespace

double SpaceFrame::to_data(const double value, const int axis) const noexcept {
  return std::ldexp(std::ldexp(value, f) + mean[static_cast<std::size_t>(axis)], e);
}

double SpaceFrame::data_length(const double length) const noexcept {
  return std::ldexp(length, f + e);
}

double SpaceFrame::coordinate_rounding() const noexcept { return kEps * (1.0 + 2.0 * post); }

std::optional<SpaceFrame> space_frame(const SpacePoints& points) {
  if (points.x.size() != points.y.size() || points.x.size() != points.z.size()) {
    base::fault("assertion failed: x, y and z are equally long");
  }
  const std::size_t n = points.size();
  if (n == 0) return std::nullopt;
  // +infinity for a coordinate that is not finite.
  const double largest =
      std::max(largest_magnitude(points.x, points.y), largest_magnitude(points.z, {}));
  if (!std::isfinite(largest) || largest == 0.0) return std::nullopt;

  SpaceFrame frame{};
  frame.e = std::max(binary_exponent(largest), kSmallestFirstExponent);
  frame.pre = std::ldexp(1.0, -frame.e);
  Vector3 sum = {+0.0, +0.0, +0.0};
  for (std::size_t i = 0; i < n; ++i) {
    sum[0] += points.x[i] * frame.pre;
    sum[1] += points.y[i] * frame.pre;
    sum[2] += points.z[i] * frame.pre;
  }
  for (std::size_t k = 0; k < 3; ++k) frame.mean[k] = sum[k] / static_cast<double>(n);
  frame.post = 1.0;
  double square_sum = +0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const Vector3 p = points.in_frame(frame, i);
    square_sum += dot(p, p);
  }
  const double spread = std::sqrt(square_sum / static_cast<double>(n));
  if (!(spread > 0.0)) return std::nullopt;
  frame.f = binary_exponent(spread);
  frame.post = std::ldexp(1.0, -frame.f);
  return frame;
}

PrincipalAxes principal_axes(const SpacePoints& points, const SpaceFrame& frame) {
  std::array<Vector3, 3> a{};
  for (auto& row : a) row = {+0.0, +0.0, +0.0};
  for (std::size_t i = 0; i < points.size(); ++i) {
    const Vector3 p = points.in_frame(frame, i);
    for (std::size_t r = 0; r < 3; ++r) {
      for (std::size_t c = 0; c < 3; ++c) a[r][c] += p[r] * p[c];
    }
  }
  std::array<Vector3, 3> v = {Vector3{1.0, 0.0, 0.0}, Vector3{0.0, 1.0, 0.0},
                              Vector3{0.0, 0.0, 1.0}};  // columns: v[row][column]
  for (int sweep = 0; sweep < kSweeps; ++sweep) {
    const double off = a[0][1] * a[0][1] + a[0][2] * a[0][2] + a[1][2] * a[1][2];
    if (off == 0.0) break;
    for (std::size_t p = 0; p < 2; ++p) {
      for (std::size_t q = p + 1; q < 3; ++q) {
        if (a[p][q] == 0.0) continue;
        const double theta = (a[q][q] - a[p][p]) / (2.0 * a[p][q]);
        const double t = std::copysign(1.0, theta) / (std::fabs(theta) + plane_length(theta, 1.0));
        const double c = 1.0 / plane_length(t, 1.0);
        const double s = t * c;
        for (std::size_t k = 0; k < 3; ++k) {
          const double akp = a[k][p];
          const double akq = a[k][q];
          a[k][p] = c * akp - s * akq;
          a[k][q] = s * akp + c * akq;
        }
        for (std::size_t k = 0; k < 3; ++k) {
          const double apk = a[p][k];
          const double aqk = a[q][k];
          a[p][k] = c * apk - s * aqk;
          a[q][k] = s * apk + c * aqk;
        }
        for (std::size_t k = 0; k < 3; ++k) {
          const double vkp = v[k][p];
          const double vkq = v[k][q];
          v[k][p] = c * vkp - s * vkq;
          v[k][q] = s * vkp + c * vkq;
        }
      }
    }
  }
  std::array<std::size_t, 3> order = {0, 1, 2};
  std::sort(order.begin(), order.end(),
            [&](const std::size_t i, const std::size_t j) { return a[i][i] < a[j][j]; });
  PrincipalAxes out{};
  for (std::size_t k = 0; k < 3; ++k) {
    const std::size_t j = order[k];
    out.values[k] = a[j][j];
    out.vectors[k] = {v[0][j], v[1][j], v[2][j]};
  }
  return out;
}

double rms_off_plane(const SpacePoints& points, const SpaceFrame& frame,
                     const PrincipalAxes& axes) {
  double sum = +0.0;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const double h = dot(points.in_frame(frame, i), axes.vectors[0]);
    sum += h * h;
  }
  return std::sqrt(sum / static_cast<double>(points.size()));
}

double rms_off_line(const SpacePoints& points, const SpaceFrame& frame, const PrincipalAxes& axes) {
  double sum = +0.0;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const Vector3 p = points.in_frame(frame, i);
    const double h0 = dot(p, axes.vectors[0]);
    const double h1 = dot(p, axes.vectors[1]);
    sum += h0 * h0 + h1 * h1;
  }
  return std::sqrt(sum / static_cast<double>(points.size()));
}

bool flat(const double rms_off, const SpaceFrame& frame) noexcept {
  return rms_off <= kFlatRoundings * frame.coordinate_rounding();
}

}  // namespace tondra::kit
