#pragma once
// The three circle fits on plain coordinate vectors. Each takes its vectors by value (the caller
// hands them over) and returns the centre [cx, cy]; anything that goes wrong is a fault.

#include <string_view>
#include <vector>

namespace tondra {

// The centroid of the points, each coordinate averaged over its own vector.
std::vector<double> fit_geometrical(std::vector<double> xs, std::vector<double> ys);

// The centre that minimises the spread of the point-to-centre distances, found by the solver
// that `method` names ("lbfgs" or "nelder_mead"); any other text faults "not yet implemented".
std::vector<double> fit_lsq(std::vector<double> xs, std::vector<double> ys, std::string_view method);

// Taubin's algebraic fit through a singular value decomposition.
std::vector<double> taubin_svd(std::vector<double> xs, std::vector<double> ys);

}  // namespace tondra
