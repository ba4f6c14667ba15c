#pragma once
// A circle from points of which some are outliers, by sample consensus on minimal samples:
// circles through 3 random points scored by a truncated quadratic (MSAC), the best one's inliers
// fitted with the chosen method, the inliers decided again from that fit until they settle.
//
// Edges: a set that fit_set would refuse as a whole (a NaN or infinite coordinate, fewer than 3
// points, all points equal or on a line) gets fit_set's status, n = its number of points, no
// trials and no inliers. Everything else the data can cause is a status too (NoSample,
// TooFewInliers, InliersNoCircle), never an exception. The options are taken as checked (the
// kit checks them once for every entry point); max_trials below 1 draws no sample (NoSample).
// The samples come from a stream started at `seed` for every set, so a set gets the same bits
// whichever batch, thread or position it is fitted in.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kernel/knowns.hpp"
#include "kernel/method.hpp"
#include "kernel/set_fit.hpp"

namespace tondra::kit {

struct RobustOptions {
  Method method = Method::Lsq;
  std::optional<double> threshold;  // the inlier threshold; estimated per set when empty
  double confidence = 0.999;        // in (0, 1)
  std::int64_t max_trials = 2000;   // at least 1
  std::uint64_t seed = 0;           // every set's sample stream starts from this seed
};

struct RobustFit {
  SetFit fit;               // the final fit on the inliers (its n is their number)
  std::int64_t trials = 0;  // samples drawn
  double threshold = kNaN;  // the one used, given or estimated
};

// Reusable buffers of one thread for robust fits: fit_set's own, and the robust fit's copies
// of the points in their frame, their residuals, the gathered inliers and the angles along the
// circle. Kept from set to set, they make a robust fit allocate nothing once they have grown
// to the largest set.
struct RobustWorkspace {
  Workspace fit;
  std::vector<double> px;  // the points in their own frame
  std::vector<double> py;
  std::vector<double> residual;  // |distance - r| of every point
  std::vector<double> scratch;   // reordered by medians
  std::vector<double> x_in;      // the inliers, gathered for fit_set
  std::vector<double> y_in;
  std::vector<std::uint8_t> again;  // the inliers decided from the latest fit
  std::vector<double> angle;        // of the candidates about the centre, then sorted
  std::vector<std::size_t> where;   // the candidates' indices, then in the order of their angles
  std::vector<std::size_t> near;    // candidates within reach of each, along the circle
  std::vector<double> w_in;         // the inliers' weights
  std::vector<double> kx;           // the points of positive weight, their weights and flags
  std::vector<double> ky;
  std::vector<double> kw;
  std::vector<std::uint8_t> k_inliers;
};

// Fits one set robustly; `inliers` (one per point) receives the mask of the points fitted: as
// many as fit.n on success and on TooFewInliers and InliersNoCircle (the points that were
// tried), none otherwise. Never throws for anything the data can cause (see fit_set); x, y and
// inliers of different lengths are a fault.
//
// With knowns (knowns.hpp): points of weight 0 are left out before anything else (never
// sampled, never inliers); a sample's score weighs each point's truncated residual with its
// weight, and the inliers are refitted with theirs. A known radius (bounds that meet) lets two
// points propose a circle: both circles of that radius through them are scored, and the number
// of trials needed follows from the inlier ratio squared rather than cubed. Bounds reject a
// sample's circle before it is scored, and the refits keep within them (known_fit.hpp).
RobustFit fit_set_robust(std::span<const double> x, std::span<const double> y,
                         const RobustOptions& options, std::span<std::uint8_t> inliers,
                         RobustWorkspace& work, const Knowns& knowns = {});

}  // namespace tondra::kit
