#pragma once
// One reference circle of roundness for each of many point sets, on several threads. The sets
// lie one after another in two flat arrays, set g being points offsets[g] to offsets[g + 1] - 1;
// each is computed on its own (roundness.hpp), so its result does not depend on the batch or the
// number of threads.
//
// Threads: the calling thread works too, and between sets, every `poll_interval`, asks
// `keep_going` whether to go on. Nothing escapes a thread: a set whose computation throws
// (memory exhausted, say) gets RoundnessBatchStatus::Failed. Once `keep_going` says no, no
// thread starts another set and run_roundness_batch returns false.

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>

#include "kernel/roundness.hpp"

namespace tondra::kit {

// A set's status: RoundnessStatus's codes, and this one beyond them.
inline constexpr std::int8_t kRoundnessFailed = 3;

struct RoundnessBatchInput {
  std::span<const double> x;
  std::span<const double> y;
  std::span<const std::int64_t> offsets;  // sets + 1 entries, from 0, nondecreasing, to x.size()
  Reference reference = Reference::Zone;
  std::span<const double> cx;  // Reference::About: one centre per set
  std::span<const double> cy;
};

// One entry per set in each span, four in `support` (indices within the set, -1 beyond the
// set's support).
struct RoundnessBatchOutput {
  std::span<std::int8_t> status;
  std::span<std::int8_t> shape;
  std::span<double> cx;
  std::span<double> cy;
  std::span<double> inner;
  std::span<double> outer;
  std::span<double> ront;
  std::span<std::int64_t> support;
};

// Whether input and output are well formed; an empty text when they are.
const char* roundness_batch_problem(const RoundnessBatchInput& in, const RoundnessBatchOutput& out);

// Assumes a well-formed batch. Returns false when `keep_going` stopped it.
bool run_roundness_batch(const RoundnessBatchInput& in, RoundnessBatchOutput& out, unsigned workers,
                         const std::function<bool()>& keep_going,
                         std::chrono::milliseconds poll_interval = std::chrono::milliseconds(20));

}  // namespace tondra::kit
