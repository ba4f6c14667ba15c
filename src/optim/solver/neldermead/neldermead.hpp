#pragma once
// NelderMead: the derivative-free solver. It moves a simplex, a list of vertices each holding a
// point and its cost, towards lower costs; only the problem's cost is ever asked for.
//
// The simplex may have any number n >= 2 of vertices of one common, non-zero length; n need not
// be the dimension plus one. After init and after every iteration it is sorted by ascending cost,
// so vertex 0 is the best (B), n-2 the second-worst (S) and n-1 the worst (W). One iteration:
//
//   x0 = mean of every vertex but W (vertex 0 plus vertices 1..n-2, then times 1/(n-1));
//   xr = x0 + alpha (x0 - W), fr = f(xr)                                  (reflection)
//   B <= fr < S            -> W := xr                                       Reflection
//   fr < B                 -> xe = x0 + gamma (xr - x0); W := xe if f(xe) < fr, else xr
//                                                                           Expansion
//   S <= fr < W            -> xc = x0 + rho (xr - x0); W := xc if f(xc) <= fr, else shrink
//                                                                           ContractionOutside
//   fr >= W (or W is NaN)  -> xc = x0 + rho (W - x0); W := xc if f(xc) < W, else shrink
//                                                                           ContractionInside
//   shrink: every vertex but B moves to B + sigma (v - B) and is re-evaluated     Shrink
//
// with alpha, gamma, rho, sigma = 1, 2, 0.5, 0.5. Each a + s (b - c) is add(a, mul(sub(b, c), s)):
// difference, product and sum rounded separately. Ties are settled as written: fr == B reflects,
// fr == S contracts, an outside contraction equal to fr is accepted, an inside contraction equal
// to W is rejected (the simplex shrinks), and an expansion equal to fr keeps xr.
//
// NaN: every comparison with NaN is false. A NaN reflected cost (or a NaN B or S) matches no case;
// that is reported as a PotentialBug error, and the simplex is left as it was. The sort is a
// stable insertion sort that never moves a vertex past a neighbour it does not strictly beat, so
// equal costs keep their order (the earlier vertex stays best) and a NaN cost pins its place.
//
// Stopping: the solver never terminates a state itself. termination_test stops the run when the
// sample standard deviation of the vertex costs falls below std_dev_tolerance; a NaN cost or a
// single vertex makes that deviation NaN, so the test then never fires.
//
// Faults: an evaluation error during init is a fault (the starting simplex must be evaluable); an
// empty simplex faults in init, and fewer than two vertices fault in next_iter before anything is
// evaluated; vertices of unequal or zero length fault in the vector arithmetic. Evaluation errors
// in next_iter are returned as they are.

#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/fault.hpp"
#include "base/result.hpp"
#include "optim/core/iter_state.hpp"
#include "optim/core/kv.hpp"
#include "optim/core/optim_error.hpp"
#include "optim/core/problem.hpp"
#include "optim/core/solver.hpp"
#include "optim/math/vector_math.hpp"

namespace tondra::optim {

enum class NelderMeadAction {
  Reflection,
  Expansion,
  ContractionOutside,
  ContractionInside,
  Shrink
};

// The action's display text, which is its name.
const char* action_name(NelderMeadAction action);

struct Vertex {
  Vector param;
  double cost;
};

class NelderMead {
 public:
  // The vertices in the given order, each with cost NaN; nothing is evaluated.
  explicit NelderMead(std::vector<std::vector<double>> vertices);

  // Sets the convergence threshold on the standard deviation of the vertex costs. A negative or
  // NaN tolerance is an InvalidParameter error: it could never be met, so the run would go on to
  // the iteration limit without saying why. Zero is allowed (convergence then never fires).
  OptimResult<NelderMead> with_std_dev_tolerance(double tolerance) &&;

  // Whether each iteration hands back its diagnostics record (the action taken); on by default.
  // A caller whose run drops the records turns it off and saves building one per iteration.
  NelderMead with_diagnostics(bool on) && {
    diagnostics_ = on;
    return std::move(*this);
  }

  template <class P>
  OptimResult<SolverStep> init(Problem<P>& problem, IterState& state);

  template <class P>
  OptimResult<SolverStep> next_iter(Problem<P>& problem, IterState& state);

  TerminationStatus termination_test(const IterState& state) const;

  // x0 + rho (x - x0): both contractions, with xr (outside) or the worst vertex (inside) as x.
  Vector contract(std::span<const double> x0, std::span<const double> x) const;

  // Moves every vertex but the best halfway (by sigma) to it and re-evaluates it, in index order.
  // On an error it stops at once: earlier vertices are shrunk and re-costed, vertex k has its new
  // point and its old cost, later ones are untouched.
  template <class P>
  OptimResult<base::Unit> shrink(Problem<P>& problem);

  // The vertices in their current order (best first), copied out of the solver's own layout.
  std::vector<Vertex> simplex() const;
  double std_dev_tolerance() const { return std_dev_tolerance_; }

 private:
  // Sorts the vertices by cost from vertex `first_unsorted` on. The sort leaves no neighbours
  // with the left one's cost above the right one's (NaN included: such a pair compares false),
  // and on such a prefix the passes for its vertices move nothing; so after only the worst vertex
  // was replaced, sorting from it (n - 1) gives exactly the order of a full sort.
  void sort_simplex(std::size_t first_unsorted = 1);
  Vector centroid_without_worst() const;
  // a + s (b - c) with the difference, product and sum rounded separately, as
  // add(a, mul(sub(b, c), s)) computes it; without the checks or temporaries once every vertex is
  // known to have the same non-zero length (trial points then all have it too).
  Vector move_towards(std::span<const double> a, std::span<const double> b,
                      std::span<const double> c, double s) const;
  // The iteration's result: the best vertex as the state's point, and the action taken.
  SolverStep report(IterState& state, NelderMeadAction action) const;

  // The vertices' points stay in their slots; the ranking, (cost, slot) pairs sorted by cost,
  // is what the sort moves: 16 bytes a place instead of a whole vertex.
  struct Ranked {
    double cost;
    std::size_t slot;
  };
  std::vector<Vector> points_;
  std::vector<Ranked> ranking_;
  // Every point has the same non-zero length: the arithmetic's length checks cannot fail, so the
  // hot paths skip them. Set once at construction; every later point is made from these.
  bool uniform_ = false;
  bool diagnostics_ = true;
  // The usual coefficients for any dimension; every result was computed with them, so they stay.
  double reflection_coeff_ = 1.0;
  double expansion_coeff_ = 2.0;
  double contraction_coeff_ = 0.5;
  double shrink_coeff_ = 0.5;
  double std_dev_tolerance_ = 2.220446049250313e-16;  // machine epsilon
};

template <class P>
OptimResult<SolverStep> NelderMead::init(Problem<P>& problem, IterState& state) {
  for (Ranked& r : ranking_) r.cost = unwrap(problem.cost(points_[r.slot]));
  sort_simplex();
  base::check_index(0, ranking_.size());
  state.with_param(points_[ranking_[0].slot]).with_cost(ranking_[0].cost);
  return SolverStep{std::nullopt};
}

template <class P>
OptimResult<SolverStep> NelderMead::next_iter(Problem<P>& problem, IterState& state) {
  const std::size_t n = ranking_.size();
  // Best and second-worst must both exist; the second vertex is the first that may not.
  base::check_index(0, n);
  base::check_index(1, n);
  const double best = ranking_[0].cost;
  const double second_worst = ranking_[n - 2].cost;
  Ranked& worst = ranking_[n - 1];
  Vector& worst_point = points_[worst.slot];

  const Vector x0 = centroid_without_worst();
  Vector xr = move_towards(x0, x0, worst_point, reflection_coeff_);
  const OptimResult<double> fr_result = problem.cost(xr);
  if (!fr_result) return fr_result.error();
  const double fr = fr_result.value();

  if (best <= fr && fr < second_worst) {
    worst_point = xr;
    worst.cost = fr;
    sort_simplex(n - 1);
    return report(state, NelderMeadAction::Reflection);
  }
  if (fr < best) {
    const Vector xe = move_towards(x0, xr, x0, expansion_coeff_);
    const OptimResult<double> fe = problem.cost(xe);
    if (!fe) return fe.error();
    // An expansion no better than the reflection is not worth its longer step (NaN included).
    const bool expanded = fe.value() < fr;
    worst_point = expanded ? xe : xr;
    worst.cost = expanded ? fe.value() : fr;
    sort_simplex(n - 1);
    return report(state, NelderMeadAction::Expansion);
  }
  if (fr >= second_worst) {
    const bool outside = fr < worst.cost;
    const Vector xc = outside ? contract(x0, xr) : contract(x0, worst_point);
    const OptimResult<double> fc = problem.cost(xc);
    if (!fc) return fc.error();
    const bool accepted = outside ? fc.value() <= fr : fc.value() < worst.cost;
    NelderMeadAction action =
        outside ? NelderMeadAction::ContractionOutside : NelderMeadAction::ContractionInside;
    // A shrink moved every vertex but the best: those need the full sort.
    std::size_t first_unsorted = n - 1;
    if (accepted) {
      worst_point = xc;
      worst.cost = fc.value();
    } else {
      const OptimResult<base::Unit> shrunk = shrink(problem);
      if (!shrunk) return shrunk.error();
      action = NelderMeadAction::Shrink;
      first_unsorted = 1;
    }
    sort_simplex(first_unsorted);
    return report(state, action);
  }
  return OptimError::potential_bug("`NelderMead`: Reached unreachable point.");
}

template <class P>
OptimResult<base::Unit> NelderMead::shrink(Problem<P>& problem) {
  const Vector b = points_[ranking_[0].slot];
  for (std::size_t k = 1; k < ranking_.size(); ++k) {
    Vector& point = points_[ranking_[k].slot];
    point = move_towards(b, point, b, shrink_coeff_);
    const OptimResult<double> c = problem.cost(point);
    if (!c) return c.error();
    ranking_[k].cost = c.value();
  }
  return base::Unit{};
}

}  // namespace tondra::optim
