#include "engine/batch.hpp"

#include <algorithm>
#include <exception>
#include <new>

#include "base/fault.hpp"
#include "base/stop.hpp"
#include "engine/grouping.hpp"
#include "engine/team.hpp"
#include "kernel/known_fit.hpp"
#include "kernel/set_fit.hpp"

namespace tondra::kit {
namespace {

// Sets are taken a few at a time: enough points per take that the shared counter costs nothing,
// few enough that the threads finish together and a stop is seen soon.
constexpr std::int64_t kPointsPerTake = 2048;
constexpr std::size_t kMaxSetsPerTake = 256;

void store(const SetFit& fit, std::size_t g, BatchOutput& out) {
  out.status[g] = static_cast<std::int8_t>(fit.status);
  out.detail[g] = static_cast<std::int8_t>(fit.detail);
  out.cx[g] = fit.cx;
  out.cy[g] = fit.cy;
  out.r[g] = fit.stats.r;
  out.rms[g] = fit.stats.rms;
  std::copy(fit.stats.cov.begin(), fit.stats.cov.end(),
            out.cov.begin() + static_cast<std::ptrdiff_t>(9 * g));
  out.cov_exponent[g] = fit.stats.cov_exponent;
  out.n[g] = fit.n;
  out.iterations[g] = fit.iterations;
  out.converged[g] = fit.converged ? 1 : 0;
  out.arc[g] = fit.arc;
  out.termination[g] = static_cast<std::int8_t>(fit.termination);
}

// One thread's share of the batch: its workspace and the messages of the sets it fitted.
class Worker {
 public:
  Worker(const BatchInput& input, BatchOutput& output, const SetFitter& fitter)
      : in_(input), out_(output), fitter_(fitter) {}

  std::vector<std::pair<std::size_t, std::string>>& messages() { return messages_; }

  // Fits set g and stores its result.
  void fit_one(std::size_t g) {
    const auto a = static_cast<std::size_t>(in_.offsets[g]);
    const auto b = static_cast<std::size_t>(in_.offsets[g + 1]);
    const std::span<const double> x = in_.x.subspan(a, b - a);
    const std::span<const double> y = in_.y.subspan(a, b - a);
    SetFit fit;
    try {
      if (fitter_) {
        RobustFit given = fitter_(
            g, x, y,
            in_.robust != nullptr ? out_.inliers.subspan(a, b - a) : std::span<std::uint8_t>(),
            work_.fit);
        if (in_.robust != nullptr) {
          out_.trials[g] = given.trials;
          out_.threshold[g] = given.threshold;
        }
        fit = std::move(given.fit);
      } else if (in_.robust != nullptr) {
        const Knowns knowns{in_.weights.empty() ? in_.weights : in_.weights.subspan(a, b - a),
                            in_.bounds};
        RobustFit robust =
            fit_set_robust(x, y, *in_.robust, out_.inliers.subspan(a, b - a), work_, knowns);
        out_.trials[g] = robust.trials;
        out_.threshold[g] = robust.threshold;
        fit = std::move(robust.fit);
      } else if (in_.weights.empty() && !in_.bounds.any()) {
        fit = fit_set(x, y, in_.method, work_.fit);
      } else {
        const Knowns knowns{in_.weights.empty() ? in_.weights : in_.weights.subspan(a, b - a),
                            in_.bounds};
        fit = fit_set_knowing(x, y, in_.method, knowns, work_.fit);
      }
    } catch (const base::Stopped&) {
      throw;  // the batch is stopping: this set stays Cancelled
    } catch (const std::bad_alloc&) {
      fit = SetFit{};
      fit.status = Status::NoMemory;
    } catch (const std::exception& e) {
      // fit_set turns the fits' faults into statuses; anything else is a fault of ours, kept
      // to this set rather than let loose on a thread.
      fit = SetFit{};
      fit.status = Status::FitFailed;
      fit.message = e.what();
    } catch (...) {
      fit = SetFit{};
      fit.status = Status::FitFailed;
      fit.message = "unexpected C++ exception";
    }
    store(fit, g, out_);
    if (!fit.message.empty()) {
      try {
        messages_.emplace_back(g, std::move(fit.message));
      } catch (const std::bad_alloc&) {
        out_.status[g] = static_cast<std::int8_t>(Status::NoMemory);
      }
    }
  }

  const BatchInput& in_;
  BatchOutput& out_;
  const SetFitter& fitter_;
  RobustWorkspace work_;  // plain fits use its `fit` part
  std::vector<std::pair<std::size_t, std::string>> messages_;
};

}  // namespace

std::string batch_problem(const BatchInput& in, const BatchOutput& out) {
  if (in.x.size() != in.y.size()) return "x and y differ in length";
  std::string problem = offsets_problem(in.offsets, in.x.size());
  if (!problem.empty()) return problem;
  const std::size_t sets = in.offsets.size() - 1;
  const bool sized = out.status.size() == sets && out.detail.size() == sets &&
                     out.cx.size() == sets && out.cy.size() == sets && out.r.size() == sets &&
                     out.rms.size() == sets && out.cov.size() == 9 * sets &&
                     out.cov_exponent.size() == sets && out.n.size() == sets &&
                     out.iterations.size() == sets && out.converged.size() == sets &&
                     out.arc.size() == sets && out.termination.size() == sets;
  if (!sized) return "an output has the wrong size";
  if (!in.weights.empty() && in.weights.size() != in.x.size()) {
    return "weights and x differ in length";
  }
  if (in.robust != nullptr && !(out.trials.size() == sets && out.threshold.size() == sets &&
                                out.inliers.size() == in.x.size())) {
    return "a robust output has the wrong size";
  }
  return {};
}

bool run_batch(const BatchInput& in, BatchOutput& out, unsigned workers,
               const std::function<bool()>& keep_going, std::chrono::milliseconds poll_interval,
               const SetFitter& fitter) {
  const std::size_t sets = in.offsets.size() - 1;
  std::fill(out.status.begin(), out.status.end(), static_cast<std::int8_t>(Status::Cancelled));
  if (sets == 0) return true;
  const std::int64_t points = in.offsets.back();
  const std::int64_t per_set = std::max<std::int64_t>(1, points / static_cast<std::int64_t>(sets));
  TeamPlan plan;
  plan.threads = workers;
  plan.take = static_cast<std::size_t>(
      std::clamp<std::int64_t>(kPointsPerTake / per_set, 1, kMaxSetsPerTake));
  plan.poll_interval = poll_interval;
  const unsigned threads = team_threads(sets, plan);
  std::vector<Worker> team;
  team.reserve(threads);
  for (unsigned t = 0; t < threads; ++t) team.emplace_back(in, out, fitter);
  const bool finished = run_team(
      sets, plan,
      [&](const unsigned worker, const std::size_t g) {
        team[worker].fit_one(g);
        return static_cast<std::size_t>(in.offsets[g + 1] - in.offsets[g]);
      },
      keep_going);
  out.messages.clear();
  for (Worker& worker : team) {
    for (auto& m : worker.messages()) out.messages.push_back(std::move(m));
  }
  return finished;
}

}  // namespace tondra::kit
