#pragma once
// Sets of extreme scale. The statistics square distances from the centre and the shape check
// squares offsets from the points' mean; in doubles those squares overflow beyond about 2^512
// and lose their precision to underflow below about 2^-511. A set is therefore judged by a scale
// of its own and, outside [kScaleLow, kScaleHigh], worked on as its offsets or coordinates times
// an exact power of two, with the results scaled back. Sets inside the range take the plain
// arithmetic, so the rescaling changes no bit of an ordinary set.
//
// For the statistics and the residuals the scale is a distance from the centre; the margin of
// 2^111 to either limit covers points 2^111 times farther out than that and residuals down to
// 2^-111 of it. For the shape check it is the sum of squared offsets from the mean, whose
// products with each other (at most 2^800) cannot overflow.

#include <cmath>
#include <cstddef>
#include <span>

namespace tondra::kit {

// The range of scales the plain arithmetic serves (see above).
inline constexpr double kScaleLow = 0x1p-400;
inline constexpr double kScaleHigh = 0x1p400;

// Whether a scale asks for rescaled arithmetic. NaN does not: it comes from a non-finite centre,
// which no rescaling mends.
inline bool out_of_range(double scale) noexcept { return scale < kScaleLow || scale > kScaleHigh; }

// The e of v = m 2^e with m in [0.5, 1), and 0 for zero, infinities and NaN (where frexp leaves
// the exponent unspecified).
inline int frexp_exponent(double v) noexcept {
  if (!std::isfinite(v) || v == 0.0) return 0;
  int e = 0;
  static_cast<void>(std::frexp(v, &e));
  return e;
}

// sqrt(a^2 + b^2), on a and b times a power of two where their squares would overflow or lose
// their precision to underflow; in the plain arithmetic, to the bit, everywhere else.
inline double root_sum_squares(double a, double b) noexcept {
  const double m = std::fmax(std::fabs(a), std::fabs(b));
  if (!out_of_range(m) || !(m > 0.0) || !std::isfinite(m)) return std::sqrt(a * a + b * b);
  const int k = frexp_exponent(m);
  const double sa = std::ldexp(a, -k);
  const double sb = std::ldexp(b, -k);
  return std::ldexp(std::sqrt(sa * sa + sb * sb), k);
}

// The offsets of points from a centre, times 2^-k. Large data (k > 0) are scaled before the
// subtraction, which then cannot overflow; small data after it, which is then exact. Either way
// each offset is the true offset times 2^-k, rounded once, as long as it stays normal. k = 0 is
// the plain offset.
class ScaledOffsets {
 public:
  // Assumes x.size() == y.size().
  ScaledOffsets(std::span<const double> x, std::span<const double> y, double cx, double cy,
                int k) noexcept
      : x_(x),
        y_(y),
        cx_(k > 0 ? std::ldexp(cx, -k) : cx),
        cy_(k > 0 ? std::ldexp(cy, -k) : cy),
        k_(k) {}

  std::size_t size() const noexcept { return x_.size(); }
  double dx(std::size_t i) const noexcept { return offset(x_[i], cx_); }
  double dy(std::size_t i) const noexcept { return offset(y_[i], cy_); }

 private:
  double offset(double v, double c) const noexcept {
    if (k_ == 0) return v - c;
    if (k_ > 0) return std::ldexp(v, -k_) - c;
    return std::ldexp(v - c, -k_);
  }

  std::span<const double> x_;
  std::span<const double> y_;
  double cx_;  // the centre, already scaled when the points are scaled before the subtraction
  double cy_;
  int k_;
};

}  // namespace tondra::kit
