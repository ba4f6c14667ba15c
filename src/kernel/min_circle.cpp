#include "kernel/min_circle.hpp"

#include <algorithm>
#include <numeric>

#include "base/stop.hpp"
#include "kernel/random.hpp"
#include "kernel/support_circle.hpp"

namespace tondra::kit {
namespace {

// Fixed, so that the same points give the same support on every run.
constexpr std::uint64_t kShuffleSeed = 0x726f756e64ULL;
// Points tested between two reports to the stop check.
constexpr std::size_t kPollEvery = 4096;

class Welzl {
 public:
  Welzl(std::span<const long double> u, std::span<const long double> v) : u_(u), v_(v) {}

  FramePoint at(std::size_t i) const { return {u_[i], v_[i]}; }

  bool outside(std::size_t i, const MinCircle& c) const {
    return squared_distance(at(i), c.u, c.v) > c.r2 + c.r2 * kInsideSlack;
  }

  MinCircle through(std::size_t a, std::size_t b) const {
    const FrameCentre m = middle_of(at(a), at(b));
    MinCircle c{m.u, m.v, 0.0L, {a, b, 0}, 2};
    c.r2 = std::max(squared_distance(at(a), m.u, m.v), squared_distance(at(b), m.u, m.v));
    return c;
  }

  // The circle through a, b and c; for (nearly) collinear points, whose circle through all
  // three does not exist, the circle on the two farthest apart.
  MinCircle through(std::size_t a, std::size_t b, std::size_t c) const {
    const FrameCentre m = circumcentre(at(a), at(b), at(c));
    if (!m.ok) {
      MinCircle best = through(a, b);
      for (const MinCircle& other : {through(a, c), through(b, c)}) {
        if (other.r2 > best.r2) best = other;
      }
      return best;
    }
    MinCircle out{m.u, m.v, 0.0L, {a, b, c}, 3};
    for (const std::size_t i : {a, b, c}) {
      out.r2 = std::max(out.r2, squared_distance(at(i), m.u, m.v));
    }
    return out;
  }

 private:
  std::span<const long double> u_;
  std::span<const long double> v_;
};

}  // namespace

MinCircle min_circle(std::span<const long double> u, std::span<const long double> v,
                     std::vector<std::size_t>& order) {
  const std::size_t n = u.size();
  order.resize(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  SampleStream stream(kShuffleSeed);
  for (std::size_t i = n; i > 1; --i) {
    std::swap(order[i - 1], order[stream.below(i)]);
  }
  const Welzl w(u, v);
  MinCircle c = w.through(order[0], order[1]);
  for (std::size_t i = 2; i < n; ++i) {
    if (i % kPollEvery == 0) base::poll_stop(kPollEvery);
    if (!w.outside(order[i], c)) continue;
    // order[i] lies on the circle of the first i + 1 points.
    c = w.through(order[0], order[i]);
    for (std::size_t j = 1; j < i; ++j) {
      if (j % kPollEvery == 0) base::poll_stop(kPollEvery);
      if (!w.outside(order[j], c)) continue;
      // So do order[i] and order[j].
      c = w.through(order[i], order[j]);
      for (std::size_t k = 0; k < j; ++k) {
        if (w.outside(order[k], c)) c = w.through(order[i], order[j], order[k]);
      }
    }
  }
  // A 3-point circle whose third point could go leaves the two ends of a diameter.
  if (c.supports == 3) {
    for (int drop = 0; drop < 3; ++drop) {
      const std::size_t a = c.support[(drop + 1) % 3];
      const std::size_t b = c.support[(drop + 2) % 3];
      const MinCircle two = w.through(a, b);
      if (!w.outside(c.support[drop], two) && two.r2 <= c.r2) {
        c = two;
        break;
      }
    }
  }
  return c;
}

}  // namespace tondra::kit
