#pragma once
// The frame in which the reference circles of roundness are computed: the points less the middle
// of their bounding box, times the power of two that brings the largest offset into [1, 2), held
// in long double. The middle is rounded to a dozen bits below the spread, so that each offset is
// the exact difference for any point whose magnitude is not far below the spread (its 64-bit
// significand holds it), and the scaling adds no rounding at all. Decisions about which point
// lies outside which circle are then made on the data as given, with 11 bits to spare over a
// double; the same data times 2^k give the same frame to the bit.

#include <cstddef>
#include <span>
#include <vector>

namespace tondra::kit {

struct RoundnessFrame {
  std::vector<long double> u;
  std::vector<long double> v;
  double mid_x = 0.0;
  double mid_y = 0.0;
  int e = 0;  // a frame length L is L * 2^e in the data

  std::size_t size() const noexcept { return u.size(); }
  // Back to the data, rounded once to a double.
  double data_x(long double fu) const noexcept;
  double data_y(long double fv) const noexcept;
  double data_length(long double length) const noexcept;
  // A data position in the frame.
  long double frame_u(double x) const noexcept;
  long double frame_v(double y) const noexcept;
};

// Assumes x.size() == y.size() >= 1 and finite coordinates, not all equal.
RoundnessFrame roundness_frame(std::span<const double> x, std::span<const double> y);

}  // namespace tondra::kit
