#pragma once
// Element-wise arithmetic on coordinate vectors, shared by every solver.
//
// Vector results are new Vectors (inline storage: no allocation); inputs are never modified, and
// element i of a result depends only on element i of the inputs. Products and sums are separately
// rounded (the build forbids contraction), so x + s*d written as add(x, mul(d, s)) rounds twice, as
// the solvers expect. Sums run in index order from +0.0. A violated precondition is a broken
// invariant of the calling solver, hence a fault at the caller's position, not an error value.
//
// Call these qualified (optim::min) or with vectors: for two std::vector or two Vector arguments
// the overloads below win over std::min/std::max that argument-dependent lookup would bring in.

#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "base/fault.hpp"
#include "optim/math/vector.hpp"

namespace tondra::optim {

// a[i] + b[i]. Faults "assertion failed: n1 > 0" when a is empty, "assertion failed: n2 > 0"
// when b is empty, then the length equality assertion.
Vector add(std::span<const double> a, std::span<const double> b,
           base::SourcePos where = base::SourcePos::here());

// a = add(a, b) in place (the same sums and the same faults), without making a new vector.
void add_to(Vector& a, std::span<const double> b, base::SourcePos where = base::SourcePos::here());

// a[i] - b[i]. Faults "assertion failed: n1 > 0" when a is empty, then the length equality
// assertion (an empty b against a non-empty a fails there).
Vector sub(std::span<const double> a, std::span<const double> b,
           base::SourcePos where = base::SourcePos::here());

// a[i] * s. No precondition: an empty a gives an empty result.
Vector mul(std::span<const double> a, double s);

// a[i] * b[i], with the preconditions of add.
Vector mul(std::span<const double> a, std::span<const double> b,
           base::SourcePos where = base::SourcePos::here());

// Sum of a[i] * b[i] over the shorter length; the longer vector's tail is ignored.
double dot(std::span<const double> a, std::span<const double> b) noexcept;

// Square root of the sum of a[i] * a[i] (no scaling: squares that overflow give infinity).
double norm(std::span<const double> a) noexcept;

// a[i] if a[i] < b[i], else b[i]: a NaN on either side gives b[i]. Faults
// "assertion failed: !x.is_empty()" when a is empty, then the length equality assertion.
Vector min(std::span<const double> a, std::span<const double> b,
           base::SourcePos where = base::SourcePos::here());
Vector min(const std::vector<double>& a, const std::vector<double>& b,
           base::SourcePos where = base::SourcePos::here());
Vector min(const Vector& a, const Vector& b, base::SourcePos where = base::SourcePos::here());

// a[i] if a[i] > b[i], else b[i], with the preconditions of min.
Vector max(std::span<const double> a, std::span<const double> b,
           base::SourcePos where = base::SourcePos::here());
Vector max(const std::vector<double>& a, const std::vector<double>& b,
           base::SourcePos where = base::SourcePos::here());
Vector max(const Vector& a, const Vector& b, base::SourcePos where = base::SourcePos::here());

// NaN for a NaN element, otherwise 1.0 carrying the element's sign (+0.0 -> 1.0, -0.0 -> -1.0).
Vector signum(std::span<const double> a);

// Definitions: inline, so that the solvers' many two-element operations compile to a few
// instructions each instead of calls; only the fault paths stay out of line.
// Faults "assertion `left == right` failed\n  left: L\n right: R" unless left == right.
[[noreturn]] void fault_unequal_lengths(std::size_t left, std::size_t right, base::SourcePos where);

inline void check_equal_lengths(std::size_t left, std::size_t right,
                                base::SourcePos where = base::SourcePos::here()) {
  if (left != right) fault_unequal_lengths(left, right, where);
}

namespace detail {

// Shared by add and element-wise mul, which assert the same things in the same order.
inline void check_both_filled(std::span<const double> a, std::span<const double> b,
                              base::SourcePos where) {
  base::check(!a.empty(), "n1 > 0", where);
  base::check(!b.empty(), "n2 > 0", where);
  check_equal_lengths(a.size(), b.size(), where);
}

}  // namespace detail

inline Vector add(std::span<const double> a, std::span<const double> b, base::SourcePos where) {
  detail::check_both_filled(a, b, where);
  Vector out(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) out[i] = a[i] + b[i];
  return out;
}

inline void add_to(Vector& a, std::span<const double> b, base::SourcePos where) {
  detail::check_both_filled(a, b, where);
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = a[i] + b[i];
}

inline Vector sub(std::span<const double> a, std::span<const double> b, base::SourcePos where) {
  base::check(!a.empty(), "n1 > 0", where);
  check_equal_lengths(a.size(), b.size(), where);
  Vector out(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) out[i] = a[i] - b[i];
  return out;
}

// a = sub(a, mul(b, s)) and a = add(a, mul(b, s)) in place: the product rounded, then the
// difference or sum, with the faults of sub and add. The two-loop recursion's updates, without
// two temporary vectors per update.
inline void sub_scaled(Vector& a, std::span<const double> b, const double s,
                       base::SourcePos where = base::SourcePos::here()) {
  base::check(!a.empty(), "n1 > 0", where);
  check_equal_lengths(a.size(), b.size(), where);
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = a[i] - b[i] * s;
}

inline void add_scaled(Vector& a, std::span<const double> b, const double s,
                       base::SourcePos where = base::SourcePos::here()) {
  detail::check_both_filled(a, b, where);
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = a[i] + b[i] * s;
}

inline Vector mul(std::span<const double> a, const double s) {
  Vector out(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) out[i] = a[i] * s;
  return out;
}

inline Vector mul(std::span<const double> a, std::span<const double> b, base::SourcePos where) {
  detail::check_both_filled(a, b, where);
  Vector out(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) out[i] = a[i] * b[i];
  return out;
}

inline double dot(std::span<const double> a, std::span<const double> b) noexcept {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  double sum = +0.0;
  for (std::size_t i = 0; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

inline double norm(std::span<const double> a) noexcept {
  double sum = +0.0;
  for (const double v : a) sum += v * v;
  return std::sqrt(sum);
}

inline Vector min(std::span<const double> a, std::span<const double> b, base::SourcePos where) {
  base::check(!a.empty(), "!x.is_empty()", where);
  check_equal_lengths(a.size(), b.size(), where);
  Vector out(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) out[i] = a[i] < b[i] ? a[i] : b[i];
  return out;
}

inline Vector min(const std::vector<double>& a, const std::vector<double>& b,
                  base::SourcePos where) {
  return min(std::span<const double>(a), std::span<const double>(b), where);
}

inline Vector min(const Vector& a, const Vector& b, base::SourcePos where) {
  return min(std::span<const double>(a), std::span<const double>(b), where);
}

inline Vector max(std::span<const double> a, std::span<const double> b, base::SourcePos where) {
  base::check(!a.empty(), "!x.is_empty()", where);
  check_equal_lengths(a.size(), b.size(), where);
  Vector out(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) out[i] = a[i] > b[i] ? a[i] : b[i];
  return out;
}

inline Vector max(const std::vector<double>& a, const std::vector<double>& b,
                  base::SourcePos where) {
  return max(std::span<const double>(a), std::span<const double>(b), where);
}

inline Vector max(const Vector& a, const Vector& b, base::SourcePos where) {
  return max(std::span<const double>(a), std::span<const double>(b), where);
}

inline Vector signum(std::span<const double> a) {
  Vector out(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    out[i] = std::isnan(a[i]) ? a[i] : std::copysign(1.0, a[i]);
  }
  return out;
}

}  // namespace tondra::optim
