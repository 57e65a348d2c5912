// Whether closed balls have a common point, as geometric pruning asks of a
// start's reach balls (Pishchagina, Rigaill & Runge, "Geometric-based
// pruning rules for change point detection in multiple independent time
// series", 2024), and a ball that holds their intersection. A few
// Frank-Wolfe steps per added ball, warm-started, find weights on the
// balls; what the weights prove is then checked with every rounding
// bounded, so an answer is never wrong, only sometimes weaker than it could
// be.
#pragma once

#include <array>
#include <cstddef>
#include <limits>

#include "cost/pruning.hpp"

namespace marbolt::detect {

// A closed ball: every x with |x - centre| <= radius in the first dims
// coordinates.
struct Ball {
    std::array<double, cost::kMaxBallDims> centre;
    double radius;
};

// What weights prove. For weights w_i >= 0 with W = sum w_i > 0, balls
// (c_i, r_i), any point p and v = sum w_i (c_i - p), every x has
//     sum w_i (|x - c_i|^2 - r_i^2) = W |x - p|^2 - 2 (x - p) . v + G - P2,
// G = sum w_i |c_i - p|^2 and P2 = sum w_i r_i^2. A point of every ball
// makes each term of the left side at most zero, so with rho = |x - p|,
//     W rho^2 - 2 |v| rho - (P2 - G) <= 0.
//  - Apart: with p = cbar = sum w_i c_i / W (v = 0), G = (1 / W) sum over
//    i < j of w_i w_j |c_i - c_j|^2, a form without cbar. When G > P2 no
//    rho is left: no point lies in every ball. By convex duality (every
//    term has the same Hessian) weights with G > P2 exist exactly when the
//    intersection is empty. The check holds when a lower bound of
//    sum over i < j of w_i w_j |c_i - c_j|^2 exceeds an upper bound of W P2.
//  - Enclosing: otherwise every common point has
//        rho <= (|v| + sqrt(|v|^2 + W max(P2 - G, 0))) / W,
//    the numerator increasing in |v|, W and P2 - G, so upper bounds of
//    those over a lower bound of W bound rho: the ball around p of that
//    radius holds the intersection. At the best weights and p = cbar it is
//    the smallest ball that the weighted sum proves (for two balls, the one
//    through the rim of their lens).
// Every bound is formed with above and below (envelope.hpp) after each
// operation, monotone on non-negative values; the sums of v are bounded as
// computed plus 2^-50 (m + 2) times the sum of their terms' magnitudes (m
// terms, each two roundings, the sum m - 1 more, u = 2^-53 each with room),
// plus m kTinySlack for the subnormal range.
bool weights_prove_apart(const Ball* balls, const double* weight, std::size_t count, std::size_t dims) noexcept;
double enclosing_radius(const Ball* balls, const double* weight, std::size_t count, std::size_t dims,
                        const std::array<double, cost::kMaxBallDims>& p) noexcept;

// Frank-Wolfe on the dual of "the smallest largest power |x - c_i|^2 -
// r_i^2": from `weight` (normalised first; the smallest ball alone when the
// weights are all zero or not finite), at most `steps` steps, each moving
// weight toward the ball whose power at the current cbar is largest, by the
// step that maximises the dual on that segment; it stops early once cbar is
// in every ball or the dual is positive. Then either the balls are proven
// apart (true), or `enclosing` is set to a ball that holds their
// intersection (an infinite radius when nothing is proven).
bool seek_apart(const Ball* balls, double* weight, std::size_t count, std::size_t dims, int steps,
                Ball& enclosing) noexcept;

// What weights on reach balls and covers prove. For weights l_i >= 0 on
// balls (c_i, r_i) that hold a region and m_j >= 0 on covers (c'_j, r'_j),
// with powers p_i(x) = |x - c_i|^2 - r_i^2 and p'_j(x) likewise, let
//     f(x) = sum l_i p_i(x) - sum m_j p'_j(x).
// When f > 0 everywhere, a point of every ball (each p_i <= 0) has
// sum m_j p'_j < 0, so lies strictly inside some cover: the region outside
// the covers is empty, though no single cover need hold the balls' common
// part (the covers' weighted power is a ball within their union). With any
// point p, y = x - p, a_i = c_i - p and a'_j = c'_j - p (exact reals),
//     f = A |y|^2 - 2 y . v + K,  A = sum l_i - sum m_j,
//     v = sum l_i a_i - sum m_j a'_j,
//     K = sum l_i (|a_i|^2 - r_i^2) - sum m_j (|a'_j|^2 - r'_j^2),
// whose least value, for A > 0, is K - |v|^2 / A. So lower bounds A_low > 0
// of A and K_low of K and an upper bound V of |v|^2 with K_low A_low > V
// prove f > 0. The check forms them with counted roundings, as the proofs
// above do (p is the first ball's centre): K_low from a lower bound of the
// sum of the non-negative terms l_i |a_i|^2 and m_j r'_j^2 less an upper
// bound of the sum of l_i r_i^2 and m_j |a'_j|^2 (each term at most d + 2
// roundings, the sums m more, m the count of balls and covers), V as the
// pull of enclosing_radius; A_low from a lower bound of sum l_i less an
// upper bound of sum m_j (m roundings each), and each difference of bounds
// and the product K_low A_low take one rounding more, bounded by lower()
// (a product rounded up to infinity still exceeds V: its exact value
// does). Weights outside [2^-200, 2] count as zero in the check; a K_low
// or V that is not finite fails it. The proof is one-sided by nature too:
// the covers' weighted power is one ball, so covers whose union holds the
// balls' common part only in a shape no such ball fits prove nothing.
bool weights_prove_covered(const Ball* balls, const double* weight, std::size_t count, const Ball* covers,
                           const double* cover_weight, std::size_t cover_count, std::size_t dims) noexcept;

// Seeks weights for that proof: from `weight` on the balls (normalised;
// the smallest ball alone when none is usable) and none on the covers, at
// most `steps` exact line searches of the concave least value of f along
// one weight: the one whose derivative there, its term's power at the
// minimiser of f (with its sign in f), is the largest in magnitude where
// the weight may move. A step moves the minimiser onto the sphere of that
// ball or cover (the top of the least value along the weight), and the
// search stops once the least value is positive. The weights are scaled to
// a unit sum over the balls before the check. True when the check proves
// the region empty; `weight` and `cover_weight` (count and cover_count
// entries, at most 16 and 64) hold the weights either way.
bool seek_covered(const Ball* balls, double* weight, std::size_t count, const Ball* covers, double* cover_weight,
                  std::size_t cover_count, std::size_t dims, int steps) noexcept;

// A start's most telling reach balls and their weights: an added ball takes
// the place of the one with the least weight (the oldest among equals) once
// kKept are held, and a few steps bring the weights up to date. Forgetting a
// ball only makes the intersection larger, so any choice of balls is safe.
template <std::size_t kKept>
class BallIntersection {
public:
    static_assert(kKept >= 2 && kKept <= 16);

    // Adds `ball`; false once the balls held are proven apart. Balls with
    // a radius out of the bounds' range are left out.
    bool add(const Ball& ball, std::size_t dims, int steps) noexcept {
        if (!(ball.radius >= 0.0 && ball.radius < cost::kEnvelopeLargest)) return true;
        std::size_t slot = count_;
        if (count_ < kKept) {
            ++count_;
        } else {
            slot = 0;
            for (std::size_t i = 1; i < kKept; ++i) {
                if (weight_[i] < weight_[slot] || (weight_[i] == weight_[slot] && age_[i] < age_[slot])) slot = i;
            }
        }
        ball_[slot] = ball;
        weight_[slot] = 0.0;
        age_[slot] = ++added_;
        return !seek_apart(ball_.data(), weight_.data(), count_, dims, steps, enclosing_);
    }

    // A ball holding the intersection of the balls held, as of the last add.
    const Ball& enclosing() const noexcept { return enclosing_; }

    // The balls held and their weights (a warm start for other proofs).
    std::size_t count() const noexcept { return count_; }
    const Ball* balls() const noexcept { return ball_.data(); }
    const double* weights() const noexcept { return weight_.data(); }

private:
    std::array<Ball, kKept> ball_;
    std::array<double, kKept> weight_{};
    std::array<std::size_t, kKept> age_{};
    std::size_t count_ = 0;
    std::size_t added_ = 0;
    Ball enclosing_{{}, std::numeric_limits<double>::infinity()};
};

}  // namespace marbolt::detect
