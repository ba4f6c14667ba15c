#include "engine/roundness_batch.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/stop.hpp"
#include "engine/team.hpp"

namespace tondra::kit {
namespace {

void one_set(const RoundnessBatchInput& in, RoundnessBatchOutput& out, std::size_t g) {
  const auto a = static_cast<std::size_t>(in.offsets[g]);
  const auto b = static_cast<std::size_t>(in.offsets[g + 1]);
  const bool about = in.reference == Reference::About;
  Roundness r;
  try {
    r = roundness(in.x.subspan(a, b - a), in.y.subspan(a, b - a), in.reference,
                  about ? in.cx[g] : 0.0, about ? in.cy[g] : 0.0);
  } catch (const base::Stopped&) {
    throw;  // the batch is stopping
  } catch (...) {
    out.status[g] = kRoundnessFailed;
    return;
  }
  out.status[g] = static_cast<std::int8_t>(r.status);
  out.shape[g] = static_cast<std::int8_t>(r.shape);
  const bool ok = r.status == RoundnessStatus::Ok;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  out.cx[g] = ok ? r.cx : nan;
  out.cy[g] = ok ? r.cy : nan;
  out.inner[g] = ok ? r.inner : nan;
  out.outer[g] = ok ? r.outer : nan;
  out.ront[g] = ok ? r.ront : nan;
  for (int k = 0; k < 4; ++k) {
    out.support[4 * g + static_cast<std::size_t>(k)] =
        ok && k < r.supports ? r.support[static_cast<std::size_t>(k)] : -1;
  }
}

}  // namespace

const char* roundness_batch_problem(const RoundnessBatchInput& in,
                                    const RoundnessBatchOutput& out) {
  if (in.x.size() != in.y.size()) return "x and y differ in length";
  if (in.offsets.empty() || in.offsets.front() != 0 ||
      in.offsets.back() != static_cast<std::int64_t>(in.x.size()) ||
      !std::is_sorted(in.offsets.begin(), in.offsets.end())) {
    return "the offsets do not run from 0 to the number of points without decreasing";
  }
  const std::size_t sets = in.offsets.size() - 1;
  if (in.reference == Reference::About && (in.cx.size() != sets || in.cy.size() != sets)) {
    return "a centre per set is needed";
  }
  for (const std::size_t size :
       {out.status.size(), out.shape.size(), out.cx.size(), out.cy.size(), out.inner.size(),
        out.outer.size(), out.ront.size(), out.support.size() / 4}) {
    if (size != sets) return "the output columns do not fit the sets";
  }
  return "";
}

bool run_roundness_batch(const RoundnessBatchInput& in, RoundnessBatchOutput& out, unsigned workers,
                         const std::function<bool()>& keep_going,
                         std::chrono::milliseconds poll_interval) {
  TeamPlan plan;
  plan.threads = workers;
  plan.poll_interval = poll_interval;
  return run_team(
      in.offsets.size() - 1, plan,
      [&](unsigned /*worker*/, const std::size_t g) {
        one_set(in, out, g);
        return static_cast<std::size_t>(in.offsets[g + 1] - in.offsets[g]);
      },
      keep_going);
}

}  // namespace tondra::kit
