#pragma once
// Vector: the coordinate vector of the optimisers (parameters, gradients, directions). Its
// elements live inside the object, up to kCapacity of them, so making, copying and moving one
// never touches the heap: the solvers build several per evaluation. A longer vector is a broken
// invariant of the caller, hence a fault.
//
// It converts implicitly to std::span<const double> (it is a contiguous range) and compares equal
// to a std::vector<double> with the same elements, so callers holding either mix freely.

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <span>
#include <vector>

#include "base/fault.hpp"

namespace tondra::optim {

class Vector {
 public:
  // Room for the problems these solvers serve (a circle's centre has two coordinates).
  static constexpr std::size_t kCapacity = 8;

  using value_type = double;
  using iterator = double*;
  using const_iterator = const double*;

  Vector() = default;
  // n copies of value.
  explicit Vector(std::size_t n, double value = 0.0,
                  base::SourcePos where = base::SourcePos::here())
      : size_(checked_size(n, where)) {
    std::fill_n(data_, size_, value);
  }
  Vector(std::initializer_list<double> values, base::SourcePos where = base::SourcePos::here())
      : Vector(std::span<const double>(values.begin(), values.size()), where) {}
  explicit Vector(std::span<const double> values, base::SourcePos where = base::SourcePos::here())
      : size_(checked_size(values.size(), where)) {
    std::copy_n(values.data(), size_, data_);
  }
  // Implicit, so that code holding a std::vector hands it over where a Vector is expected.
  Vector(const std::vector<double>& values, base::SourcePos where = base::SourcePos::here())
      : Vector(std::span<const double>(values), where) {}

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  double* data() { return data_; }
  const double* data() const { return data_; }
  double* begin() { return data_; }
  double* end() { return data_ + size_; }
  const double* begin() const { return data_; }
  const double* end() const { return data_ + size_; }
  // Unchecked, like std::vector's.
  double& operator[](std::size_t i) { return data_[i]; }
  double operator[](std::size_t i) const { return data_[i]; }

  std::vector<double> to_std() const { return {begin(), end()}; }
  // Implicit, for code that keeps its vectors in std::vector (tests, one-off copies); it allocates.
  operator std::vector<double>() const { return to_std(); }

  friend bool operator==(const Vector& a, const Vector& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }
  friend bool operator==(const Vector& a, const std::vector<double>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  // Faults "vector of N elements exceeds the capacity of 8" for a longer vector. The test is
  // inline (every new vector passes it); only the fault is out of line.
  static std::size_t checked_size(std::size_t n, base::SourcePos where) {
    if (n > kCapacity) fault_capacity(n, where);
    return n;
  }
  [[noreturn]] static void fault_capacity(std::size_t n, base::SourcePos where);

  // Unused elements stay 0.0: a Vector is trivially copyable, and a copy of a fixed 72 bytes is
  // cheaper than a call that copies just the elements in use.
  std::size_t size_ = 0;
  double data_[kCapacity] = {};
};

}  // namespace tondra::optim
