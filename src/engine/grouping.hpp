#pragma once
// The points of a table put in group order: a stable counting sort by each row's group code.
// Group g's points land at offsets[g] onwards, in the order of their rows, which is the order a
// fit of the group alone sees them in.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace tondra::kit {

// What is wrong with `offsets` as the bounds of consecutive runs of `rows` rows (at least one
// entry, the first 0, none below the one before, the last `rows`), or an empty text when
// nothing is. Every reader of such runs checks them first: a run past the rows would be read or
// written out of bounds.
std::string offsets_problem(std::span<const std::int64_t> offsets, std::size_t rows);

// Scatters (x[i], y[i]) into (gx, gy) by codes[i]; offsets has one entry per group and a last
// one, the number of rows (the running sums of the groups' sizes). With `two_threads`, a large
// table's x and y are scattered on two threads at once. False, with the output incomplete,
// when a code lies outside [0, groups), a group receives more rows than its size, or the
// lengths or offsets are not those of one table (see offsets_problem).
bool gather_groups(std::span<const double> x, std::span<const double> y,
                   std::span<const std::int64_t> codes, std::span<const std::int64_t> offsets,
                   std::span<double> gx, std::span<double> gy, bool two_threads);

}  // namespace tondra::kit
