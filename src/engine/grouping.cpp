#include "engine/grouping.hpp"

#include <cstddef>
#include <string>
#include <vector>

#include "engine/team.hpp"

namespace tondra::kit {
namespace {

// Tables of at least this many rows are gathered on two threads: the scatter waits on memory,
// one coordinate at a time keeps fewer pages in play, and a second thread doubles the writes in
// flight. Smaller ones take less time than starting a thread.
constexpr std::size_t kTwoThreadRows = std::size_t{1} << 16;

// Scatters one coordinate by the codes, moving its own cursors (`next`, the groups' first
// offsets to begin with); false on a bad code or an overfull group.
bool scatter(std::span<const double> values, std::span<const std::int64_t> codes,
             std::span<const std::int64_t> offsets, std::vector<std::int64_t>& next,
             std::span<double> out) noexcept {
  const auto groups = static_cast<std::int64_t>(offsets.size() - 1);
  for (std::size_t i = 0; i < codes.size(); ++i) {
    const std::int64_t g = codes[i];
    if (g < 0 || g >= groups) return false;
    const std::int64_t at = next[static_cast<std::size_t>(g)]++;
    if (at >= offsets[static_cast<std::size_t>(g) + 1]) return false;
    out[static_cast<std::size_t>(at)] = values[i];
  }
  return true;
}

}  // namespace

std::string offsets_problem(std::span<const std::int64_t> offsets, std::size_t rows) {
  if (offsets.empty()) return "offsets must have at least one entry";
  if (offsets.front() != 0) return "offsets must start at 0";
  for (std::size_t g = 1; g < offsets.size(); ++g) {
    if (offsets[g] < offsets[g - 1]) return "offsets must not decrease";
  }
  if (static_cast<std::uint64_t>(offsets.back()) != rows) {
    return "offsets must end at the number of points";
  }
  return {};
}

bool gather_groups(std::span<const double> x, std::span<const double> y,
                   std::span<const std::int64_t> codes, std::span<const std::int64_t> offsets,
                   std::span<double> gx, std::span<double> gy, const bool two_threads) {
  if (x.size() != y.size() || codes.size() != x.size() || gx.size() != x.size() ||
      gy.size() != x.size() || !offsets_problem(offsets, x.size()).empty()) {
    return false;
  }
  // Both sets of cursors are made here, so that the helper thread allocates nothing.
  std::vector<std::int64_t> next_x(offsets.begin(), offsets.end() - 1);
  std::vector<std::int64_t> next_y(next_x);
  bool ok[2] = {false, false};
  TeamPlan plan;
  plan.threads = two_threads && x.size() >= kTwoThreadRows ? 2 : 1;
  (void)run_team(
      2, plan,
      [&](unsigned /*worker*/, const std::size_t item) -> std::size_t {
        ok[item] = item == 0 ? scatter(x, codes, offsets, next_x, gx)
                             : scatter(y, codes, offsets, next_y, gy);
        return 0;
      },
      [] { return true; });
  return ok[0] && ok[1];
}

}  // namespace tondra::kit
