#include "optim/core/termination.hpp"

#include <utility>

namespace tondra::optim {

// The debug texts ("Terminated(Converged)", "Terminated(SolverStopped(\"...\"))", "Running")
// are what benchmarks and diagnostics record run by run; keeping them fixed keeps old records
// comparable, and a test pins each one.
const char* reason_name(const TerminationReason reason) {
  switch (reason) {
    case TerminationReason::IterationLimit: return "IterationLimit";
    case TerminationReason::TargetCostMet: return "TargetCostMet";
    case TerminationReason::Converged: return "Converged";
    case TerminationReason::SolverStopped: return "SolverStopped";
    case TerminationReason::TimeLimit: return "TimeLimit";
    case TerminationReason::Interrupted: return "Interrupted";
  }
  return "";
}

TerminationStatus TerminationStatus::terminated(const TerminationReason reason) {
  TerminationStatus status;
  status.reason_ = reason;
  return status;
}

TerminationStatus TerminationStatus::solver_stopped(std::string text) {
  TerminationStatus status;
  status.reason_ = TerminationReason::SolverStopped;
  status.text_ = std::move(text);
  return status;
}

std::string debug_text(const TerminationStatus& status) {
  if (status.is_running()) return "Running";
  const TerminationReason reason = *status.reason();
  if (reason == TerminationReason::SolverStopped) {
    return "Terminated(SolverStopped(\"" + status.text() + "\"))";
  }
  return std::string("Terminated(") + reason_name(reason) + ")";
}

}  // namespace tondra::optim
