#pragma once
// One point set fitted completely: the checks of its shape, the centre by the chosen method,
// and the statistics that describe the circle. This is the only implementation of each of these
// rules; fit, fit_robust, fit_groups, Dask and the command all reach it through the batch.
//
// Numbers: every sum runs in index order from +0.0, every operation is rounded on its own, so a
// set gets the same bits whichever batch, thread or entry point it comes through.

#include <array>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "kernel/method.hpp"
#include "kernel/numbers.hpp"
#include "kernel/status.hpp"
#include "kernel/termination.hpp"
#include "kernel/weighted_geometric.hpp"

namespace tondra::kit {

// Radius, rms and covariance of a circle with a given centre.
struct CircleStats {
  double r = kNaN;    // mean distance of the points from the centre
  double rms = kNaN;  // sqrt(mean (d_i - r)^2)
  // sigma^2 (J^T J)^-1, row by row, in units of 4^cov_exponent (variances of a circle of
  // extreme size need not be doubles); NaN for 3 points or fewer.
  std::array<double, 9> cov = {kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN};
  int cov_exponent = 0;
};

// Everything known about one fitted set. On a failure the fields hold what the status says
// they hold and NaN otherwise.
struct SetFit {
  Status status = Status::Ok;
  Status detail = Status::Ok;  // InliersNoCircle: why they determine none
  double cx = kNaN;
  double cy = kNaN;
  CircleStats stats;
  std::int64_t n = 0;            // points fitted (the count itself for TooFew)
  bool converged = false;        // the centre is a least-squares minimum (see convergence.hpp)
  std::int64_t iterations = -1;  // of the method's solver, -1 where it has none
  Termination termination = Termination::None;  // why the method's solver stopped
  double arc = kNaN;    // angle the points cover about the centre, in [0, 2 pi]
  std::string message;  // FitFailed: the fault's text
};

// Reusable buffers of one thread, so that fitting many sets allocates nothing per set beyond
// what the native fits allocate themselves.
struct Workspace {
  std::vector<double> a;
  std::vector<double> b;
  std::vector<double> c;
  std::vector<double> d;
  WeightedScratch weighted;  // fits given weights or bounds only
};

// Why a set determines no circle whatever the method, checked in this order: a coordinate that
// is not finite (NotFinite), fewer than 3 points (TooFew), all points equal (Coincident) or on
// a line (Collinear); Ok otherwise. x and y are equally long.
Status set_problem(std::span<const double> x, std::span<const double> y) noexcept;

// Fits one set with `method`. Never throws for anything the data can cause: a fault of a fit
// becomes Status::FitFailed with its message, and nothing is written to fd 2.
//
// The checks come in this order, each ending the fit with its status: a non-finite coordinate
// (NotFinite), fewer than 3 points (TooFew), the shape (Coincident, Collinear: see
// shape_check.hpp), the fault of a fit (FitFailed), a centre or radius that is not finite
// (NoFiniteCircle, with cx, cy and stats.r as found). n is the number of points whatever the
// status. Assumes x.size() == y.size() (a fault otherwise). Safe to call from many threads at
// once, each with its own workspace; std::bad_alloc propagates.
SetFit fit_set(std::span<const double> x, std::span<const double> y, Method method,
               Workspace& work);

}  // namespace tondra::kit
