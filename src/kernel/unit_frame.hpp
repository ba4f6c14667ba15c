#pragma once
// The frame in which the kit's own fits and diagnostics compute: the points centred on their
// mean and scaled so that their RMS distance from it lies in [1, 2). Tolerances written in this
// frame are relative to the data's own size, whatever their units.
//
// Both scalings are powers of two, so the frame costs no accuracy: first 2^-e brings the largest
// |coordinate| into [1, 2) (the mean of n such values cannot overflow, and nothing underflows that
// was a normal double), then, after centring, 2^-f brings the spread into [1, 2). A length L in
// the frame is the length L * 2^(e + f) in the data; the same data times 2^k give the same frame
// coordinates to the bit.
//
// The coordinates are not stored: frame_u(x) and frame_v(y) recompute them (two products and a
// difference), so a fit over the frame needs no buffer of its own.

#include <cstddef>
#include <optional>
#include <span>

namespace tondra::kit {

struct UnitFrame {
  double pre;     // 2^-e
  double mean_x;  // mean of pre * x
  double mean_y;
  double post;  // 2^-f
  int e;
  int f;

  double frame_u(double x) const noexcept { return (x * pre - mean_x) * post; }
  double frame_v(double y) const noexcept { return (y * pre - mean_y) * post; }
  // Back to the data: a frame position, a frame length (may overflow to infinity).
  double data_x(double u) const noexcept;
  double data_y(double v) const noexcept;
  double data_length(double length) const noexcept;
};

// The frame of the points, or nothing when they have none: no points, a coordinate that is not
// finite, or all points equal. x and y must have the same length (a fault otherwise: the kit
// checks shapes before it fits).
std::optional<UnitFrame> unit_frame(std::span<const double> x, std::span<const double> y);

}  // namespace tondra::kit
