#pragma once
// One set fitted with what the caller knows of it (knowns.hpp): weights, a known radius or
// bounds on it. Without any, this is fit_set itself, to the bit.
//
// Weights: a point of weight 0 is left out before anything else (it counts towards no check and
// no statistic); the rest are fitted with their weights, relative to one another. "geometric"
// minimises sum w_i (d_i - r)^2, r the weighted mean distance and rms the weighted root mean
// square of the residuals; "hyper" and "taubin" use the weighted moments, "centroid" the
// weighted mean, each with r, rms and covariance weighted likewise. "lsq" and "nelder_mead"
// take no weights and no bounds, and the other algebraic fits no bounds (the kit refuses them;
// here they are a fault, which becomes Status::FitFailed).
//
// Bounds (geometric only): where the plain minimum's radius lies within them it is the result,
// as it is without bounds; otherwise the minimum with the radius held on the bound. Where the
// circle so found leaves an rms residual larger than its radius (an upper bound well below half
// the points' spread, say), no circle within the bounds describes the points:
// Status::NoCircleInBounds.

#include <span>

#include "kernel/knowns.hpp"
#include "kernel/method.hpp"
#include "kernel/set_fit.hpp"

namespace tondra::kit {

// As fit_set (the same statuses in the same order, NoCircleInBounds last), n being the number of
// points of positive weight. Assumes x, y and, when given, the weights equally long.
SetFit fit_set_knowing(std::span<const double> x, std::span<const double> y, Method method,
                       const Knowns& knowns, Workspace& work);

}  // namespace tondra::kit
