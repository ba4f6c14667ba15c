#include "kernel/roundness.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <ranges>
#include <vector>

#include "base/fault.hpp"
#include "base/stop.hpp"
#include "kernel/min_circle.hpp"
#include "kernel/roundness_frame.hpp"
#include "kernel/set_fit.hpp"
#include "kernel/support_circle.hpp"

namespace tondra::kit {
namespace {

constexpr long double kInfinity = std::numeric_limits<long double>::infinity();
constexpr std::size_t kSectors = 8;

// Which of 8 half-quadrants about a centre an offset points into.
std::size_t sector_of(long double du, long double dv) noexcept {
  return (du < 0 ? 4U : 0U) + (dv < 0 ? 2U : 0U) + (std::fabs(du) < std::fabs(dv) ? 1U : 0U);
}

// The smallest and largest squared distance of the points from a centre, and where.
struct Extremes {
  long double near2 = kInfinity;
  long double far2 = -1.0L;
  std::size_t near = 0;
  std::size_t far = 0;
};

class Profile {
 public:
  explicit Profile(const RoundnessFrame& f) : f_(f) {}

  std::size_t size() const { return f_.size(); }
  FramePoint at(std::size_t i) const { return {f_.u[i], f_.v[i]}; }
  long double d2(std::size_t i, long double u, long double v) const {
    return squared_distance(at(i), u, v);
  }

  Extremes extremes(long double u, long double v) const {
    Extremes e;
    for (std::size_t i = 0; i < size(); ++i) {
      const long double d = d2(i, u, v);
      if (d < e.near2) {
        e.near2 = d;
        e.near = i;
      }
      // The last of equals: where every point is equally far, the peak and the valley still
      // differ.
      if (d >= e.far2) {
        e.far2 = d;
        e.far = i;
      }
    }
    return e;
  }

  // The farthest and the nearest point in each sector about (u, v): the seed of a subset.
  std::vector<std::size_t> sector_extremes(long double u, long double v) const {
    std::array<std::size_t, 2 * kSectors> pick{};
    std::array<long double, 2 * kSectors> best{};
    for (std::size_t s = 0; s < kSectors; ++s) {
      best[2 * s] = -1.0L;
      best[2 * s + 1] = kInfinity;
    }
    for (std::size_t i = 0; i < size(); ++i) {
      const std::size_t s = sector_of(f_.u[i] - u, f_.v[i] - v);
      const long double d = d2(i, u, v);
      if (d > best[2 * s]) {
        best[2 * s] = d;
        pick[2 * s] = i;
      }
      if (d < best[2 * s + 1]) {
        best[2 * s + 1] = d;
        pick[2 * s + 1] = i;
      }
    }
    std::vector<std::size_t> subset;
    for (std::size_t k = 0; k < 2 * kSectors; ++k) {
      if (best[k] >= 0.0L && best[k] < kInfinity) add(subset, pick[k]);
    }
    return subset;
  }

  static bool add(std::vector<std::size_t>& subset, std::size_t i) {
    if (std::find(subset.begin(), subset.end(), i) != subset.end()) return false;
    subset.push_back(i);
    return true;
  }

 private:
  const RoundnessFrame& f_;
};

struct Candidate {
  long double u = 0.0L;
  long double v = 0.0L;
  long double score = kInfinity;  // zone: width; inscribed: minus the squared radius
  std::array<std::size_t, 4> support{};
  int supports = 0;
};

// The zone's width about a centre over a subset, or infinity once it reaches `bound`. The
// candidate's own support points come first, and then the subset from its newest points, which
// are the ones found outside earlier zones: either way the width reaches a hopeless candidate's
// bound within a few points.
long double subset_width(const Profile& p, const std::vector<std::size_t>& subset, long double u,
                         long double v, long double bound, std::size_t& near, std::size_t& far,
                         std::span<const std::size_t> first = {}) {
  long double lo = kInfinity;
  long double hi = -1.0L;
  auto take = [&](std::size_t i) {
    const long double d = std::sqrt(p.d2(i, u, v));
    if (d < lo) {
      lo = d;
      near = i;
    }
    if (d > hi) {
      hi = d;
      far = i;
    }
    return hi - lo < bound;
  };
  for (const std::size_t i : first) {
    if (!take(i)) return kInfinity;
  }
  for (const std::size_t i : std::ranges::reverse_view(subset)) {
    if (!take(i)) return kInfinity;
  }
  return hi - lo;
}

// The narrowest zone of the subset: every centre fixed by three of its points (three on one
// circle, the fourth support being the subset's extreme on the other) or by two pairs (the
// bisectors' meeting point).
Candidate subset_zone(const Profile& p, const std::vector<std::size_t>& s) {
  Candidate best;
  const std::size_t m = s.size();
  std::size_t near = 0;
  std::size_t far = 0;
  auto consider = [&](FrameCentre c, std::array<std::size_t, 4> support, int count) {
    if (!c.ok) return;
    const long double w =
        subset_width(p, s, c.u, c.v, best.score, near, far,
                     std::span<const std::size_t>(support.data(), static_cast<std::size_t>(count)));
    if (!(w < best.score)) return;
    if (count == 3) {
      // The triple lies on the circle nearer its own distance; the other side's extreme is
      // the fourth support.
      const long double r = std::sqrt(p.d2(support[0], c.u, c.v));
      const bool outer = std::sqrt(p.d2(far, c.u, c.v)) - r < r - std::sqrt(p.d2(near, c.u, c.v));
      support[3] = outer ? near : far;
      // A zone of width zero has the triple on both circles.
      if (support[3] != support[0] && support[3] != support[1] && support[3] != support[2]) {
        count = 4;
      }
    }
    best = {c.u, c.v, w, support, count};
  };
  for (std::size_t i = 0; i < m; ++i) {
    base::poll_stop(m * m * m);  // the candidates with this first point, and their widths
    for (std::size_t j = i + 1; j < m; ++j) {
      for (std::size_t k = j + 1; k < m; ++k) {
        consider(circumcentre(p.at(s[i]), p.at(s[j]), p.at(s[k])), {s[i], s[j], s[k], 0}, 3);
      }
      for (std::size_t k = i + 1; k < m; ++k) {
        for (std::size_t l = k + 1; l < m; ++l) {
          if (k == j || l == j) continue;
          // Each pair of pairs once: (i, j) is the pair with the smaller first index.
          consider(bisectors_meet(p.at(s[i]), p.at(s[j]), p.at(s[k]), p.at(s[l])),
                   {s[i], s[j], s[k], s[l]}, 4);
        }
      }
    }
  }
  return best;
}

// Whether the points of the subset on the circle about (u, v) of squared radius r2 go round its
// centre: no line through the centre has them all on one side (or on it). `on_circle` counts
// them.
bool goes_round(const Profile& p, const std::vector<std::size_t>& s, long double u, long double v,
                long double r2, int& on_circle) {
  const long double slack = r2 * kInsideSlack;
  // Cross products of offsets of length r: this close to zero, a point is on the line.
  const long double line = r2 * 0x1p-56L;
  on_circle = 0;
  for (const std::size_t a : s) {
    if (std::fabs(p.d2(a, u, v) - r2) > slack) continue;
    ++on_circle;
    bool left = false;
    bool right = false;
    for (const std::size_t b : s) {
      if (b == a || std::fabs(p.d2(b, u, v) - r2) > slack) continue;
      const long double cross =
          (p.at(a).u - u) * (p.at(b).v - v) - (p.at(a).v - v) * (p.at(b).u - u);
      left = left || cross > line;
      right = right || cross < -line;
    }
    if (!left || !right) return false;
  }
  return true;
}

// The largest circle through three points of the subset that the subset goes round and has
// none of it inside.
Candidate subset_inscribed(const Profile& p, const std::vector<std::size_t>& s) {
  Candidate best;
  const std::size_t m = s.size();
  for (std::size_t i = 0; i < m; ++i) {
    base::poll_stop(m * m * m);  // the triangles with this first point, each checked on all
    for (std::size_t j = i + 1; j < m; ++j) {
      for (std::size_t k = j + 1; k < m; ++k) {
        const FramePoint a = p.at(s[i]);
        const FramePoint b = p.at(s[j]);
        const FramePoint c = p.at(s[k]);
        if (!not_obtuse(a, b, c)) continue;
        const FrameCentre o = circumcentre(a, b, c);
        if (!o.ok) continue;
        const long double r2 =
            std::min({p.d2(s[i], o.u, o.v), p.d2(s[j], o.u, o.v), p.d2(s[k], o.u, o.v)});
        if (!(-r2 < best.score)) continue;
        const long double floor2 = r2 - r2 * kInsideSlack;
        bool empty = true;
        for (const std::size_t q : s) {
          if (p.d2(q, o.u, o.v) < floor2) {
            empty = false;
            break;
          }
        }
        if (!empty) continue;
        int on_circle = 0;
        if (!goes_round(p, s, o.u, o.v, r2, on_circle)) continue;
        best = {o.u, o.v, -r2, {s[i], s[j], s[k], 0}, 3};
        // Only a right triangle leaves a fourth point needed; it lies beyond the hypotenuse.
        if (on_circle > 3 && !acute(a, b, c)) {
          std::size_t extra = 0;
          for (const std::size_t q : s) {
            if (q != s[i] && q != s[j] && q != s[k] &&
                std::fabs(p.d2(q, o.u, o.v) - r2) <= r2 * kInsideSlack) {
              extra = q;
              break;
            }
          }
          best.support[3] = extra;
          best.supports = 4;
        }
      }
    }
  }
  return best;
}

// The subset: all points of a small set, else the sector extremes about `start`.
std::vector<std::size_t> first_subset(const Profile& p, const MinCircle& start, std::size_t whole) {
  if (p.size() <= whole) {
    std::vector<std::size_t> all(p.size());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
    return all;
  }
  return p.sector_extremes(start.u, start.v);
}

Candidate zone(const Profile& p, const MinCircle& start) {
  std::vector<std::size_t> subset = first_subset(p, start, kWholeZone);
  for (;;) {
    base::poll_stop(p.size());
    const Candidate c = subset_zone(p, subset);
    if (c.supports == 0) {
      // The sectors' extremes of a nearly straight set can lie on one line: the point
      // farthest off it joins them.
      const FramePoint a = p.at(subset.front());
      const FramePoint b = p.at(subset.back());
      std::size_t off = 0;
      long double most = 0.0L;
      for (std::size_t i = 0; i < p.size(); ++i) {
        const long double cross =
            std::fabs((b.u - a.u) * (p.at(i).v - a.v) - (b.v - a.v) * (p.at(i).u - a.u));
        if (cross > most) {
          most = cross;
          off = i;
        }
      }
      // Every point lies on that line, to the frame's precision: no zone has a centre.
      if (!Profile::add(subset, off)) return c;
      continue;
    }
    std::size_t near = 0;
    std::size_t far = 0;
    static_cast<void>(subset_width(p, subset, c.u, c.v, kInfinity, near, far));
    const long double far2 = p.d2(far, c.u, c.v);
    const long double near2 = p.d2(near, c.u, c.v);
    const Extremes all = p.extremes(c.u, c.v);
    bool grown = false;
    if (all.far2 > far2 + far2 * kInsideSlack) grown = Profile::add(subset, all.far) || grown;
    if (all.near2 < near2 - near2 * kInsideSlack) grown = Profile::add(subset, all.near) || grown;
    if (!grown) return c;
  }
}

Candidate inscribed(const Profile& p, const MinCircle& start) {
  std::vector<std::size_t> subset = first_subset(p, start, kWholeInscribed);
  for (;;) {
    base::poll_stop(p.size());
    const Candidate c = subset_inscribed(p, subset);
    if (c.supports == 0) return c;
    const long double floor2 = -c.score + c.score * kInsideSlack;
    // Every sector's nearest point inside joins the subset, not only the nearest of all: a
    // dense profile would otherwise take one round per point.
    std::array<long double, kSectors> nearest{};
    std::array<std::size_t, kSectors> which{};
    nearest.fill(kInfinity);
    for (std::size_t i = 0; i < p.size(); ++i) {
      const long double d = p.d2(i, c.u, c.v);
      if (!(d < floor2)) continue;
      const std::size_t s = sector_of(p.at(i).u - c.u, p.at(i).v - c.v);
      if (d < nearest[s]) {
        nearest[s] = d;
        which[s] = i;
      }
    }
    bool grown = false;
    for (std::size_t s = 0; s < kSectors; ++s) {
      if (nearest[s] < kInfinity) grown = Profile::add(subset, which[s]) || grown;
    }
    if (!grown) return c;
  }
}

// The zone's support: the points that fixed its centre when they lie on its circles. Among
// cocircular points (a lattice) a centre can also be fixed by pairs between the circles; the
// points on the circles are taken then, two on each where there are two, else three on the
// other.
int zone_support(const Profile& p, long double u, long double v, const Extremes& e,
                 std::array<std::size_t, 4>& support, int supports) {
  auto on = [&](std::size_t i, long double r2) {
    return std::fabs(p.d2(i, u, v) - r2) <= r2 * kInsideSlack;
  };
  bool all_on = true;
  for (int k = 0; k < supports; ++k) {
    const std::size_t i = support[static_cast<std::size_t>(k)];
    all_on = all_on && (on(i, e.far2) || on(i, e.near2));
  }
  if (all_on) return supports;
  std::vector<std::size_t> outer;
  std::vector<std::size_t> inner;
  for (std::size_t i = 0; i < p.size() && (outer.size() < 3 || inner.size() < 3); ++i) {
    if (on(i, e.far2) && outer.size() < 3)
      outer.push_back(i);
    else if (on(i, e.near2) && inner.size() < 3)
      inner.push_back(i);
  }
  const std::size_t from_outer =
      inner.size() < 2 ? outer.size() : std::min<std::size_t>(2, outer.size());
  const std::size_t from_inner = std::min<std::size_t>(4 - from_outer, inner.size());
  int count = 0;
  for (std::size_t k = 0; k < from_outer; ++k)
    support[static_cast<std::size_t>(count++)] = outer[k];
  for (std::size_t k = 0; k < from_inner; ++k)
    support[static_cast<std::size_t>(count++)] = inner[k];
  return count;
}

}  // namespace

Roundness roundness(std::span<const double> x, std::span<const double> y, Reference reference,
                    double cx, double cy) {
  if (x.size() != y.size()) base::fault("roundness: x and y differ in length");
  Roundness out;
  out.shape = set_problem(x, y);
  if (out.shape != Status::Ok) {
    out.status = RoundnessStatus::Shape;
    return out;
  }
  const RoundnessFrame frame = roundness_frame(x, y);
  const Profile p(frame);
  long double u = 0.0L;
  long double v = 0.0L;
  std::array<std::size_t, 4> support{};
  int supports = 0;
  if (reference == Reference::About) {
    u = frame.frame_u(cx);
    v = frame.frame_v(cy);
  } else {
    std::vector<std::size_t> order;
    const MinCircle mc = min_circle(frame.u, frame.v, order);
    Candidate c;
    if (reference == Reference::Circumscribed) {
      c = {mc.u, mc.v, 0.0L, {mc.support[0], mc.support[1], mc.support[2], 0}, mc.supports};
    } else if (reference == Reference::Zone) {
      c = zone(p, mc);
      if (c.supports == 0) {
        out.status = RoundnessStatus::Shape;
        out.shape = Status::Collinear;
        return out;
      }
    } else {
      c = inscribed(p, mc);
      if (c.supports == 0) {
        out.status = RoundnessStatus::NotEnclosed;
        return out;
      }
    }
    u = c.u;
    v = c.v;
    support = c.support;
    supports = c.supports;
  }
  const Extremes e = p.extremes(u, v);
  if (reference == Reference::About) {
    support = {e.far, e.near, 0, 0};
    supports = e.far == e.near ? 1 : 2;
  } else if (reference == Reference::Zone) {
    supports = zone_support(p, u, v, e, support, supports);
  }
  const long double inner = std::sqrt(e.near2);
  const long double outer = std::sqrt(e.far2);
  out.cx = frame.data_x(u);
  out.cy = frame.data_y(v);
  out.inner = frame.data_length(inner);
  out.outer = frame.data_length(outer);
  out.ront = frame.data_length(outer - inner);
  // Ascending, by hand: four items at most.
  for (int k = 0; k < supports; ++k) {
    std::int64_t item = static_cast<std::int64_t>(support[static_cast<std::size_t>(k)]);
    int at = k;
    for (; at > 0 && out.support[static_cast<std::size_t>(at - 1)] > item; --at) {
      out.support[static_cast<std::size_t>(at)] = out.support[static_cast<std::size_t>(at - 1)];
    }
    out.support[static_cast<std::size_t>(at)] = item;
  }
  out.supports = supports;
  return out;
}

}  // namespace tondra::kit
