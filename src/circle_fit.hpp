#pragma once
// The three circle fits on plain coordinate vectors. Each takes its vectors by value (the caller
// hands them over) and returns the centre [cx, cy]; anything that goes wrong is a fault.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tondra {

// The centroid of the points, each coordinate averaged over its own vector.
std::vector<double> fit_geometrical(std::vector<double> xs, std::vector<double> ys);

// The centre that minimises the spread of the point-to-centre distances, found by the solver
// that `method` names ("lbfgs" or "nelder_mead"); any other text faults "not yet implemented".
// The solver runs in the data's own frame (see normalised_frame.hpp). Writes a warning to fd 2
// when the lengths differ (the common prefix of the points is fitted) and, for Nelder-Mead, when
// there are more than 10000 x values.
std::vector<double> fit_lsq(std::vector<double> xs, std::vector<double> ys,
                            std::string_view method);

// What one least-squares run did, for benchmarks and diagnostics.
struct LsqReport {
  std::vector<double> centre;
  std::uint64_t iterations = 0;
  std::uint64_t cost_count = 0;
  std::uint64_t gradient_count = 0;
  std::string termination;  // the final status's debug text, e.g. "Terminated(Converged)"
};

// fit_lsq, keeping the run's figures.
LsqReport fit_lsq_report(std::vector<double> xs, std::vector<double> ys, std::string_view method);

// Taubin's algebraic fit through a singular value decomposition.
std::vector<double> taubin_svd(std::vector<double> xs, std::vector<double> ys);

}  // namespace tondra
