#pragma once
// Why a run stopped. A state is Running until either the executor's own tests or a solver step
// terminate it; it never goes back to Running.

#include <optional>
#include <string>

namespace tondra::optim {

enum class TerminationReason {
  IterationLimit,  // the executor: iteration >= max_iterations
  TargetCostMet,   // the executor: best_cost <= target_cost
  Converged,       // a solver's own stopping rule
  SolverStopped,   // a solver gave up; the status carries its explanation
  TimeLimit,       // reserved: no run here has a time limit
  Interrupted,     // reserved: no run here can be interrupted
};

// The reason's name, e.g. "IterationLimit".
const char* reason_name(TerminationReason reason);

class TerminationStatus {
 public:
  // Running.
  TerminationStatus() = default;

  static TerminationStatus terminated(TerminationReason reason);
  // Terminated by a solver that gave up, with its explanation.
  static TerminationStatus solver_stopped(std::string text);

  bool is_running() const { return !reason_.has_value(); }
  bool is_terminated() const { return reason_.has_value(); }
  // Absent while running.
  std::optional<TerminationReason> reason() const { return reason_; }
  // The explanation of SolverStopped; empty for every other status.
  const std::string& text() const { return text_; }

  bool operator==(const TerminationStatus&) const = default;

 private:
  std::optional<TerminationReason> reason_;
  std::string text_;
};

// "Running", "Terminated(Converged)", "Terminated(SolverStopped(\"text\"))".
std::string debug_text(const TerminationStatus& status);

}  // namespace tondra::optim
