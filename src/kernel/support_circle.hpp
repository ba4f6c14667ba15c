#pragma once
// Centres fixed by support points, in a roundness frame (long double coordinates): the middle
// of two points, the centre of the circle through three, and the point equally far from a and
// b and equally far from c and d. Each is computed relative to its first point, whose offsets
// are the small numbers the frame keeps exact. A set that fixes no centre (three collinear
// points, parallel bisectors) gives ok = false.

namespace tondra::kit {

struct FramePoint {
  long double u = 0.0L;
  long double v = 0.0L;
};

struct FrameCentre {
  long double u = 0.0L;
  long double v = 0.0L;
  bool ok = false;
};

inline long double squared_distance(FramePoint a, long double u, long double v) noexcept {
  const long double du = a.u - u;
  const long double dv = a.v - v;
  return du * du + dv * dv;
}

inline FrameCentre middle_of(FramePoint a, FramePoint b) noexcept {
  return {a.u + (b.u - a.u) / 2, a.v + (b.v - a.v) / 2, true};
}

// The circumcentre of a, b, c.
inline FrameCentre circumcentre(FramePoint a, FramePoint b, FramePoint c) noexcept {
  const long double bu = b.u - a.u;
  const long double bv = b.v - a.v;
  const long double cu = c.u - a.u;
  const long double cv = c.v - a.v;
  const long double det = 2 * (bu * cv - bv * cu);
  if (det == 0.0L) return {};
  const long double b2 = bu * bu + bv * bv;
  const long double c2 = cu * cu + cv * cv;
  return {a.u + (cv * b2 - bv * c2) / det, a.v + (bu * c2 - cu * b2) / det, true};
}

// The meeting point of the perpendicular bisectors of ab and cd.
inline FrameCentre bisectors_meet(FramePoint a, FramePoint b, FramePoint c, FramePoint d) noexcept {
  // With w = centre - a: (b - a).w = |b - a|^2 / 2 and (d - c).w = (d - c).((c + d) / 2 - a).
  const long double n1u = b.u - a.u;
  const long double n1v = b.v - a.v;
  const long double n2u = d.u - c.u;
  const long double n2v = d.v - c.v;
  const long double h1 = (n1u * n1u + n1v * n1v) / 2;
  const long double mu = (c.u - a.u) + n2u / 2;
  const long double mv = (c.v - a.v) + n2v / 2;
  const long double h2 = n2u * mu + n2v * mv;
  const long double det = n1u * n2v - n1v * n2u;
  if (det == 0.0L) return {};
  return {a.u + (h1 * n2v - n1v * h2) / det, a.v + (n1u * h2 - h1 * n2u) / det, true};
}

// (x - o).(y - o)
inline long double dot_at(FramePoint o, FramePoint x, FramePoint y) noexcept {
  return (x.u - o.u) * (y.u - o.u) + (x.v - o.v) * (y.v - o.v);
}

// Whether the triangle abc has no angle of 90 degrees or more.
inline bool acute(FramePoint a, FramePoint b, FramePoint c) noexcept {
  return dot_at(a, b, c) > 0 && dot_at(b, a, c) > 0 && dot_at(c, a, b) > 0;
}

// Whether the circumcentre of a, b, c lies inside their triangle or on its edge: no angle
// obtuse. On an edge (a right angle) the circle is held from all sides only with a fourth point
// on it beyond that edge, which the caller decides.
inline bool not_obtuse(FramePoint a, FramePoint b, FramePoint c) noexcept {
  return dot_at(a, b, c) >= 0 && dot_at(b, a, c) >= 0 && dot_at(c, a, b) >= 0;
}

}  // namespace tondra::kit
