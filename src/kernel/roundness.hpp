#pragma once
// The reference circles of roundness: for a profile of points, a centre and the radii of the
// circles about it that hold the profile between them, with the points that fix them.
//
//   Circumscribed  the smallest circle enclosing every point (min_circle.hpp).
//   Zone           the two concentric circles closest together with every point between them.
//   Inscribed      the largest circle with no point inside whose centre the points go round:
//                  three points on it that hold it from all sides (its centre lies strictly
//                  inside their triangle). A profile around no such circle (an arc of less than
//                  a half turn, say) has none: NotEnclosed.
//   About          a given centre (the least-squares one): the distances' extremes only.
//
// The zone's and the inscribed circle's centres are fixed by their support: two points on each
// circle (the bisectors meet), three on one and one on the other, or three on the inscribed
// circle. They are found by solving the problem on a small subset of the points exactly, by
// trying every candidate support in it, and taking in the points the subset's answer leaves
// outside until there are none. The subset starts with the farthest and nearest point in each
// of 8 sectors about the circumscribed centre; small sets (kWholeZone, kWholeInscribed points)
// are solved whole.
//
// For the zone this is exact: the subset's problem has fewer constraints than the whole's, so
// its zone is no wider; once it holds every point it is the whole's narrowest. The inscribed
// circle found is held by its three points from all sides and has no point inside, so it is a
// largest circle locally (its centre cannot move to a larger one). On lobed and noisy profiles
// that has been the largest; a cloud of more than kWholeInscribed points may hide a larger
// empty circle away from the subset's.
//
// Inside and outside are decided in the frame's long double arithmetic, with a slack of a few
// of its ulps that lies below a double's rounding, so cocircular points and ties are on the
// circles, not beyond them. The radii are the largest and smallest distance of any point from
// the centre, so every point lies between the circles as returned.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "kernel/status.hpp"

namespace tondra::kit {

enum class Reference : std::int8_t { About = 0, Zone = 1, Circumscribed = 2, Inscribed = 3 };

enum class RoundnessStatus : std::int8_t {
  Ok = 0,
  Shape = 1,        // the points determine no circle: `shape` says why
  NotEnclosed = 2,  // inscribed: the points go round no circle
};

struct Roundness {
  RoundnessStatus status = RoundnessStatus::Ok;
  Status shape = Status::Ok;
  double cx = 0.0;
  double cy = 0.0;
  double inner = 0.0;                     // smallest distance of a point from the centre
  double outer = 0.0;                     // largest
  double ront = 0.0;                      // outer - inner, rounded once from the frame's difference
  std::array<std::int64_t, 4> support{};  // indices into the points, ascending
  int supports = 0;
};

// Sets of at most this many points are solved by trying every support in the whole set (the
// zone's candidates grow as n^4, the inscribed circle's as n^3).
inline constexpr std::size_t kWholeZone = 12;
inline constexpr std::size_t kWholeInscribed = 40;

// `cx`, `cy` are read for Reference::About only. Assumes x.size() == y.size(); checks the
// shape (set_problem) first. Allocates O(n); std::bad_alloc propagates.
Roundness roundness(std::span<const double> x, std::span<const double> y, Reference reference,
                    double cx = 0.0, double cy = 0.0);

}  // namespace tondra::kit
