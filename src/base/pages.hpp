#pragma once
// Advice for the big buffers of a call (a million coordinates, the Taubin matrix). A fresh
// multi-megabyte block costs one page fault per 4 KiB on first write; on the virtual machines we
// run on, those faults cost more than the arithmetic done on the block. Huge pages, populated in
// one call, remove most of that. No Python in here: the numerical code uses it too.

#include <vector>

namespace tondra::base {

// Asks the kernel to back the whole pages of `values`'s capacity with huge pages and to populate
// them now. Only for a capacity that will really be written (a length known to be true, not a
// hint), since populating commits the memory. Blocks under 4 MiB are left alone: they come from
// the warm heap. Both requests are advice; their failure (an older kernel, huge pages switched
// off) changes nothing but the speed.
void prepare_pages(std::vector<double>& values) noexcept;

}  // namespace tondra::base
