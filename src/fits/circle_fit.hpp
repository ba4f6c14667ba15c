#pragma once
// The three circle fits. Each reads the points through views (vectors of ours or host memory read
// in place; the fits never write to them or keep them) and returns the centre [cx, cy]; anything
// that goes wrong is a fault.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/coordinate_view.hpp"
#include "optim/core/termination.hpp"

namespace tondra {

using base::CoordinateView;

// The centroid of the points, each coordinate averaged over its own length.
std::vector<double> fit_geometrical(CoordinateView xs, CoordinateView ys);

// The centre that minimises the spread of the point-to-centre distances, found by the solver
// that `method` names ("lbfgs" or "nelder_mead"); any other text faults "not yet implemented".
// The solver runs in the data's own frame (see normalised_frame.hpp). Writes a warning to fd 2
// when the lengths differ (the common prefix of the points is fitted) and, for Nelder-Mead, when
// there are more than 10000 x values.
std::vector<double> fit_lsq(CoordinateView xs, CoordinateView ys, std::string_view method);

// What one least-squares run did, for benchmarks and diagnostics.
struct LsqReport {
  std::vector<double> centre;
  std::uint64_t iterations = 0;
  std::uint64_t cost_count = 0;
  std::uint64_t gradient_count = 0;
  std::string termination;  // the final status's debug text, e.g. "Terminated(Converged)"
  std::optional<optim::TerminationReason> reason;  // the same as a value; absent while running
};

// fit_lsq, keeping the run's figures.
LsqReport fit_lsq_report(CoordinateView xs, CoordinateView ys, std::string_view method);

// Taubin's algebraic fit through a singular value decomposition.
std::vector<double> taubin_svd(CoordinateView xs, CoordinateView ys);

}  // namespace tondra
