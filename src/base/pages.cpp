#include "base/pages.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace tondra::base {

void prepare_pages(std::vector<double>& values) noexcept {
  constexpr std::size_t kMinBytes = std::size_t{4} << 20;
  const std::size_t bytes = values.capacity() * sizeof(double);
  if (bytes < kMinBytes) return;
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto start = reinterpret_cast<std::uintptr_t>(values.data());
  // Only whole pages inside our block: the neighbours belong to other allocations.
  const std::uintptr_t begin = (start + page - 1) / page * page;
  const std::uintptr_t end = (start + bytes) / page * page;
  if (end <= begin) return;
  void* const address = reinterpret_cast<void*>(begin);
  (void)::madvise(address, end - begin, MADV_HUGEPAGE);
#ifdef MADV_POPULATE_WRITE
  (void)::madvise(address, end - begin, MADV_POPULATE_WRITE);
#endif
}

}  // namespace tondra::base
