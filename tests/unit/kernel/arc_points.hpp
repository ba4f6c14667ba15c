#pragma once
// Points along an arc of a circle, for the kit's tests.

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

namespace kit_test {

struct Arc {
  std::vector<double> x;
  std::vector<double> y;
};

// n points at the angles start + span * i / steps (radians) on the circle, each coordinate with
// Gaussian noise of standard deviation `noise` drawn from a generator seeded with `seed`.
inline Arc points_on_arc(double cx, double cy, double r, double start, double span, int steps,
                         int n, double noise, unsigned seed) {
  std::mt19937_64 gen(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  Arc a;
  for (int i = 0; i < n; ++i) {
    const double t = start + span * i / steps;
    a.x.push_back(cx + r * std::cos(t) + noise * normal(gen));
    a.y.push_back(cy + r * std::sin(t) + noise * normal(gen));
  }
  return a;
}

// n points evenly along an arc of `degrees` from angle `start` (radians), both ends on the arc;
// a whole circle's (360 degrees or more) do not repeat.
inline Arc evenly_on_arc(double start, double cx, double cy, double r, double degrees, int n,
                         double noise, unsigned seed) {
  const int steps = degrees >= 360.0 ? n : n - 1;
  return points_on_arc(cx, cy, r, start, degrees * std::numbers::pi / 180.0, steps, n, noise, seed);
}

}  // namespace kit_test
