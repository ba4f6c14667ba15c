#pragma once
// OptimError: the error value of the optimisation framework. Solvers and problems return it; the
// framework never decides that one is fatal (the fits do, by unwrapping it into a fault).
//
// Display: a fixed prefix per kind, then the text in double quotes (quotes, backslashes and
// control characters inside the text are escaped). PotentialBug adds a plea to report the bug.

#include <string>

#include "base/result.hpp"

namespace tondra::optim {

// Where users should report a PotentialBug. Kept here so that it changes in one place. The
// plea, this address included, reaches users inside fault messages they may match, so it moves
// only with the project.
inline constexpr const char* kIssueTracker = "https://github.com/tondra-project/tondra/issues";

enum class OptimErrorKind {
  InvalidParameter,
  NotImplemented,
  NotInitialized,
  ConditionViolated,
  CheckpointNotFound,
  PotentialBug,
  ImpossibleError,
};

struct OptimError {
  OptimErrorKind kind;
  std::string text;

  static OptimError invalid_parameter(std::string t) {
    return {OptimErrorKind::InvalidParameter, std::move(t)};
  }
  static OptimError not_implemented(std::string t) {
    return {OptimErrorKind::NotImplemented, std::move(t)};
  }
  static OptimError not_initialized(std::string t) {
    return {OptimErrorKind::NotInitialized, std::move(t)};
  }
  static OptimError condition_violated(std::string t) {
    return {OptimErrorKind::ConditionViolated, std::move(t)};
  }
  static OptimError checkpoint_not_found(std::string t) {
    return {OptimErrorKind::CheckpointNotFound, std::move(t)};
  }
  static OptimError potential_bug(std::string t) {
    return {OptimErrorKind::PotentialBug, std::move(t)};
  }
  static OptimError impossible_error(std::string t) {
    return {OptimErrorKind::ImpossibleError, std::move(t)};
  }

  // The display text, e.g. `Condition violated: "..."`.
  std::string message() const;

  bool operator==(const OptimError&) const = default;
};

// The debug text that a fault shows when it unwraps this error: the display text (the errors of
// this system carry no chain of causes).
std::string debug_text(const OptimError& error);

template <class T>
using OptimResult = base::Result<T, OptimError>;

}  // namespace tondra::optim
