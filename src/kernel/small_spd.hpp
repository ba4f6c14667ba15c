#pragma once
// Small symmetric positive definite systems, as the fits in space need them (3 to 6 unknowns):
// an L D L^T factorisation without square roots, its solve and its inverse. A pivot that is not
// positive and finite makes the matrix "not safely positive definite", and every function then
// returns false.

#include <array>
#include <cmath>
#include <cstddef>

namespace tondra::kit {

template <std::size_t N>
using Square = std::array<std::array<double, N>, N>;

// Overwrites the lower triangle of `m` with L (unit diagonal implied) and its diagonal with D.
template <std::size_t N>
bool ldlt_factor(Square<N>& m) noexcept {
  for (std::size_t j = 0; j < N; ++j) {
    double pivot = m[j][j];
    for (std::size_t k = 0; k < j; ++k) pivot -= m[j][k] * m[j][k] * m[k][k];
    if (!(pivot > 0.0) || !std::isfinite(pivot)) return false;
    m[j][j] = pivot;
    for (std::size_t i = j + 1; i < N; ++i) {
      double value = m[i][j];
      for (std::size_t k = 0; k < j; ++k) value -= m[i][k] * m[j][k] * m[k][k];
      m[i][j] = value / pivot;
    }
  }
  return true;
}

// Solves with a factor from ldlt_factor.
template <std::size_t N>
std::array<double, N> ldlt_solve(const Square<N>& f, const std::array<double, N>& b) noexcept {
  std::array<double, N> x = b;
  for (std::size_t i = 0; i < N; ++i) {
    for (std::size_t k = 0; k < i; ++k) x[i] -= f[i][k] * x[k];
  }
  for (std::size_t i = 0; i < N; ++i) x[i] /= f[i][i];
  for (std::size_t i = N; i-- > 0;) {
    for (std::size_t k = i + 1; k < N; ++k) x[i] -= f[k][i] * x[k];
  }
  return x;
}

// x with m x = b (m's upper triangle is not read).
template <std::size_t N>
bool spd_solve(Square<N> m, const std::array<double, N>& b, std::array<double, N>& x) noexcept {
  if (!ldlt_factor(m)) return false;
  x = ldlt_solve(m, b);
  for (const double v : x) {
    if (!std::isfinite(v)) return false;
  }
  return true;
}

// m^-1, column by column.
template <std::size_t N>
bool spd_inverse(Square<N> m, Square<N>& inverse) noexcept {
  if (!ldlt_factor(m)) return false;
  for (std::size_t j = 0; j < N; ++j) {
    std::array<double, N> unit{};
    unit[j] = 1.0;
    const std::array<double, N> column = ldlt_solve(m, unit);
    for (std::size_t i = 0; i < N; ++i) inverse[i][j] = column[i];
  }
  return true;
}

}  // namespace tondra::kit
