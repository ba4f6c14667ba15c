#include "kernel/shape_check.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

#include "kernel/extreme_scale.hpp"

namespace tondra::kit {
namespace {

// Collinear: spread across the axis <= kCollinearUlps * eps * (the coordinates' magnitude).
constexpr double kCollinearUlps = 16.0;
constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
// The smaller eigenvalue of the scatter matrix, found from its determinant, is off by a few ulps
// of the larger one; above this fraction of it the points are certainly not collinear in the
// sense above, and the spread across the axis is not needed.
constexpr double kFlatCandidate = 1e-6;

// v times 2^-k; k = 0 leaves it as it is.
double scaled(double v, int k) noexcept { return k == 0 ? v : std::ldexp(v, -k); }

struct PlainShape {
  Status status = Status::Ok;
  bool extreme = false;  // the scatter is out of the plain range
};

// The decision by the plain arithmetic on the coordinates times 2^-k. Unless `always`, a set whose
// scatter is out of the plain range gets no decision (the caller rescales it).
//
// The scatter matrix [[a, b], [b, c]] of the offsets from the mean has the larger eigenvalue
// lam = (a + c)/2 + sqrt(((a - c)/2)^2 + b^2). Its eigenvector is (lam - c, b) or (b, lam - a),
// whichever is the better conditioned; it is NaN when the matrix is a multiple of the identity
// (every direction alike: no line at all). The smaller eigenvalue is det / lam; the points are
// collinear candidates unless it is clearly above the rounding of lam, and a NaN (all points
// equal: lam = 0) counts as a candidate. Only candidates pay for the second pass, which measures
// the spread across the axis and the magnitude of the coordinates.
PlainShape plain_shape(std::span<const double> x, std::span<const double> y, int k,
                       bool always) noexcept {
  const std::size_t count = x.size();
  const double n = static_cast<double>(count);
  double x_sum = +0.0;
  double y_sum = +0.0;
  for (std::size_t i = 0; i < count; ++i) {
    x_sum += scaled(x[i], k);
    y_sum += scaled(y[i], k);
  }
  const double mx = x_sum / n;
  const double my = y_sum / n;
  double a = +0.0;
  double b = +0.0;
  double c = +0.0;
  for (std::size_t i = 0; i < count; ++i) {
    const double dx = scaled(x[i], k) - mx;
    const double dy = scaled(y[i], k) - my;
    a += dx * dx;
    b += dx * dy;
    c += dy * dy;
  }
  // Written so that NaN (a mean that overflowed) is out of range too.
  const double scatter = a + c;
  const bool extreme = !(scatter >= kScaleLow && scatter <= kScaleHigh);
  if (extreme && !always) return {Status::Ok, true};

  const double half = (a - c) / 2.0;
  const double lam = (a + c) / 2.0 + std::sqrt(half * half + b * b);
  const bool first = std::fabs(lam - c) >= std::fabs(lam - a);
  const double ex_raw = first ? lam - c : b;
  const double ey_raw = first ? b : lam - a;
  const double norm = std::sqrt(ex_raw * ex_raw + ey_raw * ey_raw);
  const bool candidate = !((a * c - b * b) / lam > kFlatCandidate * lam);
  if (!candidate) return {Status::Ok, extreme};
  const double ex = ex_raw / norm;
  const double ey = ey_raw / norm;

  double across_sum = +0.0;
  double hi_x = scaled(x[0], k);
  double lo_x = hi_x;
  double hi_y = scaled(y[0], k);
  double lo_y = hi_y;
  for (std::size_t i = 0; i < count; ++i) {
    const double sx = scaled(x[i], k);
    const double sy = scaled(y[i], k);
    const double across = (sy - my) * ex - (sx - mx) * ey;
    across_sum += across * across;
    hi_x = std::max(hi_x, sx);
    lo_x = std::min(lo_x, sx);
    hi_y = std::max(hi_y, sy);
    lo_y = std::min(lo_y, sy);
  }
  if (hi_x == lo_x && hi_y == lo_y) return {Status::Coincident, extreme};
  const double spread = std::sqrt(across_sum / n);
  // The rounding of a coordinate of magnitude m is about eps * m; across the axis, x counts with
  // the weight |ey| and y with |ex|. A NaN spread or weight (no principal axis) is no line.
  const double rounding =
      std::max(hi_x, -lo_x) * std::fabs(ey) + std::max(hi_y, -lo_y) * std::fabs(ex);
  if (spread <= kCollinearUlps * kEpsilon * rounding) return {Status::Collinear, extreme};
  return {Status::Ok, extreme};
}

bool all_equal(std::span<const double> values) noexcept {
  return std::all_of(values.begin(), values.end(),
                     [first = values[0]](double v) { return v == first; });
}

// The decision for a set whose scatter is out of the plain range.
Status rescaled_shape(std::span<const double> x, std::span<const double> y) noexcept {
  double big = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    big = std::max(big, std::max(std::fabs(x[i]), std::fabs(y[i])));
  }
  if (big == 0.0) return Status::Coincident;
  const Status status = plain_shape(x, y, frexp_exponent(big), true).status;
  if (status == Status::Coincident && !(all_equal(x) && all_equal(y))) {
    // Points apart only by less than 2^-1074 of the largest coordinate: they differ along one
    // axis alone, far below the rounding of the other, which is a line.
    return Status::Collinear;
  }
  return status;
}

}  // namespace

Status shape_check(std::span<const double> x, std::span<const double> y) noexcept {
  const PlainShape plain = plain_shape(x, y, 0, false);
  return plain.extreme ? rescaled_shape(x, y) : plain.status;
}

bool all_finite(const std::span<const double> values) noexcept {
  for (const double v : values) {
    if (!std::isfinite(v)) return false;
  }
  return true;
}

}  // namespace tondra::kit
