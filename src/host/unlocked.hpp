#pragma once
// The interpreter's lock let go for a call's work, which then touches no host object. The
// calling thread takes the lock back meanwhile only to look for a pending signal (Ctrl-C), and
// holds it only for that: between slices of the work (keep_going) and, as the thread's stop
// check, from inside a long computation (base::poll_stop). A call stopped so raises the
// exception the signal's handler left pending (`interrupted`).

#include <chrono>

#include "base/stop.hpp"
#include "host/compat.hpp"

namespace tondra::host {

// How often work done with the lock let go looks for a pending signal.
inline constexpr std::chrono::milliseconds kPollInterval{20};

// Lets go of the lock on construction and takes it back on destruction. Assumes the calling
// thread holds the lock.
class Unlocked final : public base::StopCheck {
 public:
  Unlocked() : state_(PyEval_SaveThread()) {}
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;
  ~Unlocked() { PyEval_RestoreThread(state_); }

  // False once a signal's handler has raised (it stays false): the work should stop.
  bool keep_going() {
    if (interrupted_) return false;
    PyEval_RestoreThread(state_);
    interrupted_ = PyErr_CheckSignals() != 0;
    state_ = PyEval_SaveThread();
    return !interrupted_;
  }
  bool stop_now() override { return !keep_going(); }

 private:
  PyThreadState* state_;
  bool interrupted_ = false;
};

// The result of a call a signal stopped: the exception its handler raised (KeyboardInterrupt,
// as a rule, and that when none is pending), left pending; null for the caller to return.
inline PyObject* interrupted() {
  if (PyErr_Occurred() == nullptr) PyErr_SetNone(PyExc_KeyboardInterrupt);
  return nullptr;
}

}  // namespace tondra::host
