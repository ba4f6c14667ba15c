#include "optim/math/vector_math.hpp"

#include <cmath>
#include <string>

namespace tondra::optim {
namespace {

// Shared by add and element-wise mul, which assert the same things in the same order.
void check_both_filled(std::span<const double> a, std::span<const double> b,
                       host::SourcePos where) {
  host::check(!a.empty(), "n1 > 0", where);
  host::check(!b.empty(), "n2 > 0", where);
  check_equal_lengths(a.size(), b.size(), where);
}

}  // namespace

void check_equal_lengths(std::size_t left, std::size_t right, host::SourcePos where) {
  if (left == right) return;
  host::fault("assertion `left == right` failed\n  left: " + std::to_string(left) +
                  "\n right: " + std::to_string(right),
              where);
}

Vector add(std::span<const double> a, std::span<const double> b,
                        host::SourcePos where) {
  check_both_filled(a, b, where);
  Vector out(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) out[i] = a[i] + b[i];
  return out;
}

void add_to(Vector& a, std::span<const double> b, host::SourcePos where) {
  check_both_filled(a, b, where);
  for (std::size_t i = 0; i < a.size(); ++i) a[i] = a[i] + b[i];
}

Vector sub(std::span<const double> a, std::span<const double> b,
                        host::SourcePos where) {
  host::check(!a.empty(), "n1 > 0", where);
  check_equal_lengths(a.size(), b.size(), where);
  Vector out(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) out[i] = a[i] - b[i];
  return out;
}

Vector mul(std::span<const double> a, const double s) {
  Vector out(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) out[i] = a[i] * s;
  return out;
}

Vector mul(std::span<const double> a, std::span<const double> b,
                        host::SourcePos where) {
  check_both_filled(a, b, where);
  Vector out(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) out[i] = a[i] * b[i];
  return out;
}

double dot(std::span<const double> a, std::span<const double> b) noexcept {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  double sum = +0.0;
  for (std::size_t i = 0; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

double norm(std::span<const double> a) noexcept {
  double sum = +0.0;
  for (const double v : a) sum += v * v;
  return std::sqrt(sum);
}

Vector min(std::span<const double> a, std::span<const double> b,
                        host::SourcePos where) {
  host::check(!a.empty(), "!x.is_empty()", where);
  check_equal_lengths(a.size(), b.size(), where);
  Vector out(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) out[i] = a[i] < b[i] ? a[i] : b[i];
  return out;
}

Vector min(const std::vector<double>& a, const std::vector<double>& b,
                        host::SourcePos where) {
  return min(std::span<const double>(a), std::span<const double>(b), where);
}

Vector min(const Vector& a, const Vector& b, host::SourcePos where) {
  return min(std::span<const double>(a), std::span<const double>(b), where);
}

Vector max(std::span<const double> a, std::span<const double> b,
                        host::SourcePos where) {
  host::check(!a.empty(), "!x.is_empty()", where);
  check_equal_lengths(a.size(), b.size(), where);
  Vector out(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) out[i] = a[i] > b[i] ? a[i] : b[i];
  return out;
}

Vector max(const std::vector<double>& a, const std::vector<double>& b,
                        host::SourcePos where) {
  return max(std::span<const double>(a), std::span<const double>(b), where);
}

Vector max(const Vector& a, const Vector& b, host::SourcePos where) {
  return max(std::span<const double>(a), std::span<const double>(b), where);
}

Vector signum(std::span<const double> a) {
  Vector out(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    out[i] = std::isnan(a[i]) ? a[i] : std::copysign(1.0, a[i]);
  }
  return out;
}

}  // namespace tondra::optim
