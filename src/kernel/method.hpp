#pragma once
// The fits the kit offers, one code each. The first four find the centre with the native
// module's own functions, bit for bit; the others are the kit's own.

#include <array>
#include <cstdint>
#include <string_view>

namespace tondra::kit {

enum class Method : std::uint8_t {
  Lsq = 0,         // fit_lsq, L-BFGS
  NelderMead = 1,  // fit_lsq, Nelder-Mead
  Taubin = 2,      // taubin_svd
  Centroid = 3,    // fit_geometrical
  Hyper = 4,       // Hyper's algebraic fit
  Geometric = 5,   // geometric least squares by Levenberg-Marquardt
};

inline constexpr int kMethodCount = 6;

// Each method's name, indexed by its code: the engine exports them, and the kit takes its codes
// from them.
inline constexpr std::array<std::string_view, kMethodCount> kMethodNames = {
    "lsq", "nelder_mead", "taubin", "centroid", "hyper", "geometric",
};

}  // namespace tondra::kit
