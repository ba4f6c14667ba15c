#pragma once
// Runs a callable that is expected to fault and returns the fault's message, so a test can pin the
// exact text. A callable that returns normally yields "<no fault>".

#include <string>
#include <utility>

#include "base/fault.hpp"

namespace tondra::testing {

template <class F>
std::string fault_message(F&& f) {
  try {
    std::forward<F>(f)();
  } catch (const base::Fault& fault) {
    return fault.message();
  }
  return "<no fault>";
}

}  // namespace tondra::testing
