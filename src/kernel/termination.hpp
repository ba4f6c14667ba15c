#pragma once
// Why an iterative fit stopped, one code each, so that a caller can tell a minimum from a run
// that ran out of budget or of progress. A direct method (the algebraic fits, the centroid) and
// a set that was never fitted report None. The reason is the method's own: whether the centre is
// a least-squares minimum is SetFit::converged, judged apart from it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tondra::kit {

enum class Termination : std::int8_t {
  None = 0,           // no iteration: a direct method, or no fit was made
  Converged = 1,      // the method's own stopping rule held
  MaxIterations = 2,  // the iteration budget ran out first
  NoProgress = 3,     // the solver could find no step that lowers the cost
  Diverged = 4,       // the centre ran off to infinity (the points fit a line better)
  NotFinite = 5,      // the cost or radius at the current centre is not finite
};

// Each reason's name, indexed by its code: the engine exports them, and the kit words them.
inline constexpr std::array<std::string_view, 6> kTerminationNames = {
    "none", "converged", "max_iterations", "no_progress", "diverged", "not_finite",
};
static_assert(kTerminationNames.size() == static_cast<std::size_t>(Termination::NotFinite) + 1);

}  // namespace tondra::kit
