#include "circle_fit.hpp"

#include <utility>

#include "aux_funcs.hpp"
#include "host/fault.hpp"

namespace tondra {

std::vector<double> fit_geometrical(std::vector<double> xs, std::vector<double> ys) {
  return get_circle_centroid(std::move(xs), std::move(ys));
}

std::vector<double> fit_lsq(std::vector<double> /*xs*/, std::vector<double> /*ys*/,
                            std::string_view /*method*/) {
  host::fault("not yet implemented");
}

std::vector<double> taubin_svd(std::vector<double> /*xs*/, std::vector<double> /*ys*/) {
  host::fault("not yet implemented");
}

}  // namespace tondra
