#pragma once
// The coordinates a fit reads: doubles that someone else owns, either a vector's elements or a
// strided run in memory the host lent us (a float64 array read where it lies, a column of an
// (n, 2) array, a reversed slice). The fits only read their input, so they take this view and
// need no copy of an array; converted sequences are viewed in their vector.
//
// The memory must outlive the view and must not change while it is read. Elements are loaded
// through memcpy: host memory need not be aligned for doubles.

#include <cstddef>
#include <cstring>
#include <span>
#include <vector>

namespace tondra::base {

class CoordinateView {
 public:
  // No coordinates.
  CoordinateView() noexcept = default;
  // Implicit: a vector or span of coordinates is what most callers have.
  CoordinateView(std::span<const double> values) noexcept
      : first_(reinterpret_cast<const std::byte*>(values.data())), size_(values.size()) {}
  CoordinateView(const std::vector<double>& values) noexcept
      : CoordinateView(std::span<const double>(values)) {}

  // Assumes `size` doubles at first, first + stride, ... first + (size - 1) * stride bytes; the
  // stride may be negative.
  static CoordinateView strided(const void* first, std::ptrdiff_t stride,
                                std::size_t size) noexcept {
    CoordinateView view;
    view.first_ = static_cast<const std::byte*>(first);
    view.stride_ = stride;
    view.size_ = size;
    return view;
  }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  // Assumes i < size().
  double operator[](std::size_t i) const noexcept {
    double value;
    std::memcpy(&value, first_ + static_cast<std::ptrdiff_t>(i) * stride_, sizeof value);
    return value;
  }

 private:
  const std::byte* first_ = nullptr;
  std::ptrdiff_t stride_ = sizeof(double);
  std::size_t size_ = 0;
};

}  // namespace tondra::base
