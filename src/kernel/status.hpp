#pragma once
// What became of one point set. The kit's Python layer turns each code into its message (the
// codes carry the numbers a message needs in the set's result fields), so that every entry point
// words a failure the same way.

#include <array>
#include <cstdint>
#include <string_view>

namespace tondra::kit {

enum class Status : std::int8_t {
  Ok = 0,
  TooFew = 1,           // fewer than 3 points (n holds the count)
  NotFinite = 2,        // a coordinate is NaN or infinite
  Coincident = 3,       // all points equal
  Collinear = 4,        // the points lie on a line to rounding
  NoFiniteCircle = 5,   // the centre or radius found is not finite (cx, cy, r hold them)
  FitFailed = 6,        // the fit faulted; the message holds the fault's text
  NoSample = 7,         // robust: no sample of 3 points gave a circle (trials holds the count)
  TooFewInliers = 8,    // robust: the best sample has fewer than 3 inliers (n, threshold)
  InliersNoCircle = 9,  // robust: the inliers determine no circle (detail holds why, n their count)
  LineLike = 10,        // geometric: the points fit a line better than any circle
  Cancelled = 11,       // the batch was stopped before this set was fitted
  NoMemory = 12,        // an allocation failed while fitting this set
  NoCircleInBounds = 13,  // the circle within the radius bounds leaves an rms above its radius
  Coplanar = 14,          // in space: the points lie on one plane (or line), no unique sphere
};

// Each status's name, indexed by its code: the engine exports them, and the kit keys its words
// on them.
inline constexpr std::array<std::string_view, 15> kStatusNames = {
    "ok",
    "too_few",
    "not_finite",
    "coincident",
    "collinear",
    "no_finite_circle",
    "fit_failed",
    "no_sample",
    "too_few_inliers",
    "inliers_no_circle",
    "line_like",
    "cancelled",
    "no_memory",
    "no_circle_in_bounds",
    "coplanar",
};
static_assert(kStatusNames.size() == static_cast<std::size_t>(Status::Coplanar) + 1);

}  // namespace tondra::kit
