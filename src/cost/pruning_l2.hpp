// The l2 pruning family for one column: each start's total is a parabola in
// the last segment's mean mu (FPOP: Maidstone, Eckley, Fearnhead & Rigaill,
// "On optimal multiple changepoint algorithms for large data", Statistics
// and Computing 27, 2017), read from the model's prefix tables.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <optional>
#include <type_traits>
#include <vector>

#include "common/vector_isa.hpp"
#include "cost/cost_l2.hpp"
#include "cost/pruning.hpp"

namespace marbolt::cost {

// Rounding of a one-column l2 total. With S and Q the prefix tables (sums and
// sums of squares of the centred signal), read as exact reals, a start t and
// an end b > t, L = b - t, s* = S[b] - S[t] and q* = Q[b] - Q[t], the exact
// total is tau = P + q* - s*^2 / L, where P, the rest of the total (the
// penalty and the prefix cost for PELT, the previous layer's cost for dynp),
// is added in one or two further roundings. The searches compute T from the
// residue e = fl(q - fl(fl(s * s) / L)), clamped at zero, divided by L,
// multiplied by L, then added to the rest. With u = 2^-53, A a bound on |q*|
// and B one on s*^2 / L: the segment sum, its square and the quotient carry
// 4.01u B; q* carries u A; the residue's subtraction u of 1.01 (A + B); the
// division and multiplication by L 2.01u of it; each addition of the rest u of
// what it adds. Without the clamp, then, T would be within
//     u (6.1 A + 9.2 B + 2.02 |P| + |F|)
// of tau (P split as pen + F for PELT). The clamp only raises the residue and
// rounding is monotone, so T is at least tau minus that. The family also
// forms U = fl(rest + e), the unclamped total without the round trip through
// L, as its bookkeeping value: fewer roundings, so within the same bound.
// Both are bounded three times over by error_bound(A + B + |pen|, |F|) =
// 2^-48 (A + B + |pen| + |F|) + 2^-1000 (the last term covers roundings among
// subnormal numbers), with two choices of A and B:
//  - global, for any t and b: A = 2 max|Q| and B = Y = sum_i (S[i+1] -
//    S[i])^2 (s*^2 / L <= Y by Cauchy-Schwarz over the segment's
//    differences); l2_energy gives V >= A + B;
//  - local, for a pair the search has evaluated: A = 1.01 |q| and B = 1.01 d
//    from the computed q and quotient d; local_scale gives 2 (|q| + d).
//
// PELT's ends take a cheaper route first (sweep): one rounded reciprocal
// r = fl(1 / L) per start, shared with the bracket, the quotient d' =
// fl(fl(s * s) * r), the estimate T' = fl(F + fl(max(e', 0) + pen)) and the
// value U' = fl(F + fl(e' + pen)) with e' = fl(q - d'). Against the division,
// d' carries one rounding more (5.01u B in all, not 4.01u B), so U' stays
// within the bound above, globally and locally (B = 1.01 d' is still over
// s*^2 / L). Against T, from the same s and q: |d - d'| <= 3.05u B; the
// residues differ by that plus their own roundings, within u (5.1 B +
// 2.02 A); the clamp keeps the difference; T's round trip through L adds
// 2.05u (A + B), the pen additions u (2.06 (A + B) + 2 |pen|), the F
// additions 2.01u (|F| + 1.03 (A + B) + |pen|). So |T - T'| <= u (11.3 B +
// 8.2 A + 4.01 |pen| + 2.01 |F|), below half of error_bound(A + B + |pen|,
// |F|) = 2^-48 (...): the search decides from T' whatever is clear by the
// whole bound, whose other half covers the roundings of its comparisons
// (two or three, each u of a value below 2 (A + B + |pen| + |F|), with F
// the largest recorded so far), and forms T only for the rest.
inline double error_bound(double scale, double prefix) noexcept {
    return 0x1p-48 * (scale + prefix) * (1.0 + 0x1p-50) + kTinySlack;
}

inline double local_scale(double s, double q, double len) noexcept {
    return 2.0 * (std::fabs(q) + (s * s) / len);
}

// V = 2 max|Q| + Y, rounded up, from the n + 1 rows of the prefix tables of
// one column (entries `stride` apart); nothing when a value is not finite or
// too large for the bounds, or n is too large for the sum's own bound.
std::optional<double> l2_energy(const double* s, const double* q, std::size_t n, std::size_t stride = 1) noexcept;

// The rounding allowance of the bracket ends. A parabola L (mu - c)^2 has
// its centre c = s / L computed as s times the rounded reciprocal of L, with
// s one subtraction: three roundings, within 2^-51 |c| of the exact centre
// with room to spare. Its half-width sqrt(a / L) is computed as the square
// root of a times that reciprocal: two roundings under the root count half,
// and the root one, so it is within 2^-52 of the exact one; forming c -+ w
// rounds once more, by at most 2^-53 (|c| + w). kEndSlack = 2^-49 of |c| + w
// is over twice all that; kTinySlack covers the subnormal range.
inline constexpr double kEndSlack = 0x1p-49;

// The half-width w of an interval [c - w, c + w] that holds every mu with
// L (mu - c*)^2 < a, for any a at most `a_up`; negative (nothing to hold) when
// a_up is not positive. c is the computed centre, c* the exact one, inv_len
// the rounded reciprocal of L (see kEndSlack). Written without branches so
// that a loop over starts vectorises.
// In two parts, the square root's radicand and the width from its root, so
// that a loop over many starts can take the roots of all of them at once.
inline double half_width_radicand(double inv_len, double a) noexcept { return std::max(a, 0.0) * inv_len; }
inline double outer_from_root(double c, double root_of_radicand, double a_up) noexcept {
    const double w = root_of_radicand * (1.0 + kEndSlack) + kEndSlack * std::fabs(c) + kTinySlack;
    return a_up > 0.0 ? w : -1.0;
}
inline double outer_half_width(double c, double inv_len, double a_up) noexcept {
    return outer_from_root(c, root(half_width_radicand(inv_len, a_up)), a_up);
}

// The half-width of an interval around c holding only mu with
// L (mu - c*)^2 <= a, for any a at least `a_down`; negative when there is no
// such interval to be sure of.
inline double inner_from_root(double c, double root_of_radicand, double a_down) noexcept {
    const double w = root_of_radicand * (1.0 - kEndSlack) - kEndSlack * std::fabs(c) - kTinySlack;
    return a_down > 0.0 ? w : -1.0;
}
inline double inner_half_width(double c, double inv_len, double a_down) noexcept {
    return inner_from_root(c, root(half_width_radicand(inv_len, a_down)), a_down);
}

// [c - w, c + w], or nowhere for a negative w.
inline Interval around(double c, double w) noexcept { return w >= 0.0 ? Interval{c - w, c + w} : kNowhere; }

// What a sweep finds beside its arrays (see L2ColumnFamily::sweep).
struct SweepSummary {
    double lowest;
    double clamped;
};

// Exact totals; a start's region is where its parabola is near the
// envelope, an interval with a gap cut by the covers at its creation. Two
// pieces: nearly every end's covers form one interval, whose outside they
// hold exactly, and a third piece cost every clip more than the rare extra
// gap saved (on ten changes in 1e6 samples, the same evaluations either way).
class L2ColumnFamily : public LineFamily<CostL2, true, 2> {
public:
    // One column, and tables whose values the bounds cover.
    static std::optional<L2ColumnFamily> make(const CostL2& model, std::size_t n) noexcept;

    using Starts = ColumnStarts;

    void push(Starts& starts, std::size_t at) const { starts.push_back(at, s_[at], q_[at]); }

    // total[k]: rest.total(k, cost) with the cost of [start_k, end) as error()
    // forms it; value[k]: rest.value(k, residue) with the unclamped residue.
    // One loop the compiler vectorises, each lane rounding as the scalar
    // operations do.
    template <class Rest>
    void evaluate(const Starts& starts, std::size_t end, const Rest& rest, double* __restrict total,
                  double* __restrict value) const noexcept {
        const double e = static_cast<double>(end), s_end = s_[end], q_end = q_[end];
        const std::size_t count = starts.size();
        const double* __restrict start = starts.start.data();
        const double* __restrict s_start = starts.s.data();
        const double* __restrict q_start = starts.q.data();
        for (std::size_t k = 0; k < count; ++k) {
            const double len = e - start[k], s = s_end - s_start[k], q = q_end - q_start[k];
            total[k] = rest.total(k, CostL2::column_cost(s, q, len));
            // The division is shared with column_cost's.
            value[k] = rest.value(k, CostL2::column_residue(s, q, len));
        }
    }

    // The estimate route for PELT (see the rounding note above), one loop
    // over the starts: estimate[k] = T', value[k] = U' and inv[k] = fl(1 /
    // L). Compiled for AVX2 and AVX-512 as well, where its divisions take
    // four or eight lanes at a time; every lane rounds as the scalar
    // operations do, so all versions write the same bits.
    // Returns the smallest estimate and the largest estimate less value (at
    // least zero), both over every start and blind to NaN as std::min and
    // std::max from a first operand that is not; with AVX-512 in the same
    // pass, eight starts at a time. The three arrays hold whole_vectors(count)
    // entries each: a pass stores whole vectors, whose lanes past the starts
    // hold nothing of use, so that the loads of the steps that follow take
    // them from the store buffer (a masked store forwards to no load, which
    // then waits for the store to reach the cache).
    SweepSummary sweep(const Starts& starts, std::size_t end, const double* prefix, double pen, double* estimate,
                       double* value, double* inv) const noexcept;

    // Start k's total at `end` exactly as evaluate() forms it.
    double total(const Starts& starts, std::size_t k, std::size_t end, const double* prefix,
                 double pen) const noexcept {
        const double len = static_cast<double>(end) - starts.start[k];
        return prefix[k] + (CostL2::column_cost(s_[end] - starts.s[k], q_[end] - starts.q[k], len) + pen);
    }

    // bracket() of every start at once, at the levels step_levels(level,
    // value[k], allowance) gives, from the reciprocals sweep wrote, into
    // `out` as four arrays of whole_vectors(count) entries each, stored in
    // whole vectors as sweep's: the reaches' lower and upper ends, then the
    // covers'. `roots` is scratch for twice as many values as there are
    // starts.
    void brackets(const Starts& starts, std::size_t end, const double* inv, const double* value, double level,
                  double allowance, double* roots, double* out) const noexcept;

    // The unclamped residue of [start_k, at): a total's value without its rest.
    double residue(const Starts& starts, std::size_t k, std::size_t at) const noexcept {
        return CostL2::column_residue(s_[at] - starts.s[k], q_[at] - starts.q[k],
                                      static_cast<double>(at) - starts.start[k]);
    }

    // The global E for totals with a penalty of `pen` in magnitude and rests
    // up to `largest_rest`, and the local one of start k's segment to `at`.
    double error(double pen, double largest_rest) const noexcept {
        return error_bound(energy_ + pen, largest_rest);
    }
    double local_error(const Starts& starts, std::size_t k, std::size_t at, double pen,
                       double rest) const noexcept {
        const double len = static_cast<double>(at) - starts.start[k];
        return error_bound(local_scale(s_[at] - starts.s[k], q_[at] - starts.q[k], len) + pen, rest);
    }

    // M = 2^-8 / 2^-48 = 256 global E at a zero rest, so at least 128 E while
    // the rests stay below V + pen (an optimum is below the cost of one
    // segment, at most V, plus what it pays in penalties); `units` scales it
    // for searches with more room to spare.
    double margin(double pen, double units = 1.0) const noexcept { return units * 0x1p-40 * (energy_ + pen); }

    LineBracket bracket(const Starts& starts, std::size_t k, std::size_t at, double a_up,
                        double a_down) const noexcept {
        const double inv_len = 1.0 / (static_cast<double>(at) - starts.start[k]);
        const double c = (s_[at] - starts.s[k]) * inv_len;
        return {around(c, outer_half_width(c, inv_len, a_up)), around(c, inner_half_width(c, inv_len, a_down))};
    }

private:
    L2ColumnFamily(const double* s, const double* q, std::size_t n, double energy) noexcept
        : s_(s), q_(q), n_(n), energy_(energy), isa_(best_vector_isa()) {}

    // Asks for the rows a few ends past `end`: an end reads one new row of
    // each table, too seldom for the hardware to fetch it ahead, and every
    // step of the end waits on it.
    void fetch_ahead(std::size_t end) const noexcept {
        const std::size_t ahead = std::min(end + kFetchAhead, n_);
        __builtin_prefetch(s_ + ahead);
        __builtin_prefetch(q_ + ahead);
    }
    static constexpr std::size_t kFetchAhead = 64;  // rows: eight cache lines

    const double* s_;
    const double* q_;
    std::size_t n_;  // the tables' last row
    double energy_;  // V
    VectorIsa isa_;  // of the vector loops, chosen once per search: an end is too short to ask each time
};

// Rounding of an l2 total over d columns: the model sums the d clamped
// column terms in order, each as for one column, then scales by L. With A
// and B the sums over the columns of the one-column bounds, T is within
// u ((6.1 + d + 2) A + (9.2 + d + 2) B + 2.02 |P| + |F|) of tau, and U, the
// rest plus the unclamped residues summed, within the same; 2^-51 (d + 16)
// (A + B + |pen| + |F|) bounds both twice over for every d.
inline double columns_error_bound(double unit, double scale, double prefix) noexcept {
    return unit * (scale + prefix) * (1.0 + 0x1p-50) + kTinySlack;
}

// The l2 pruning family for 2 to kMaxBallDims columns (geometric pruning:
// Pishchagina, Rigaill & Runge, "Geometric-based pruning rules for change
// point detection in multiple independent time series", 2024): a start's
// total is a paraboloid in the vector of the last segment's means, with
// balls for level sets; regions are boxes (detect/envelope.hpp).
class L2ColumnsFamily {
public:
    using Model = CostL2;
    using Bracket = BallBracket;
    static constexpr bool kExactTotals = true;
    // The covers a region keeps (see BoxRegion::outside).
    static constexpr std::size_t kRegionCovers = 4;
    // The reach balls a region keeps for its test of their intersection.
    static constexpr std::size_t kRegionBalls = 8;
    // A start costs about ten evaluations of the plain search: when the
    // first ends hold fewer than this many starts on average, the segments
    // are short enough for the plain search to be the faster.
    static constexpr std::size_t kPlainBelow = 48;
    // A region step (a bracket, a box clip, a cover) costs several
    // evaluations: an end steps about sixteen of its live starts, with the
    // four of lowest value among them.
    static constexpr std::size_t step_budget(std::size_t) noexcept { return 16; }
    static constexpr std::size_t step_lowest() noexcept { return 4; }

    static std::optional<L2ColumnsFamily> make(const CostL2& model, std::size_t n) noexcept;

    // Each live start's position and prefix sums there, one array per
    // column, so that an end's evaluations run across the starts in vector
    // lanes.
    struct Starts {
        std::size_t d = 0;
        std::vector<double> start;
        std::array<std::vector<double>, kMaxBallDims> s, q;

        std::size_t size() const noexcept { return start.size(); }
        void move(std::size_t from, std::size_t to) noexcept {
            start[to] = start[from];
            for (std::size_t j = 0; j < d; ++j) {
                s[j][to] = s[j][from];
                q[j][to] = q[j][from];
            }
        }
        void resize(std::size_t size) {
            resize_to(start, size);
            for (std::size_t j = 0; j < d; ++j) {
                resize_to(s[j], size);
                resize_to(q[j], size);
            }
        }
        double sum(std::size_t k, std::size_t j) const noexcept { return s[j][k]; }
        double square(std::size_t k, std::size_t j) const noexcept { return q[j][k]; }
    };

    void push(Starts& starts, std::size_t at) const {
        starts.d = d_;
        starts.start.push_back(static_cast<double>(at));
        for (std::size_t j = 0; j < d_; ++j) {
            starts.s[j].push_back(s_[at * d_ + j]);
            starts.q[j].push_back(q_[at * d_ + j]);
        }
    }

    // As L2ColumnFamily::evaluate, with error()'s sum over the columns, in
    // the same order per start; one loop per column count, which the
    // compiler runs across starts in vector lanes, each rounding as the
    // scalar operations do.
    template <class Rest>
    void evaluate(const Starts& starts, std::size_t end, const Rest& rest, double* __restrict total,
                  double* __restrict value) const noexcept {
        by_columns(d_, [&]<std::size_t D>(std::integral_constant<std::size_t, D>) {
            evaluate_columns<D>(starts, end, rest, total, value);
        });
    }

    // f(std::integral_constant<std::size_t, d>{}) for a column count d from
    // 2 to kMaxBallDims: loops over the columns then unroll, and those over
    // the starts run in vector lanes.
    template <class F>
    static decltype(auto) by_columns(std::size_t d, F&& f) {
        using std::integral_constant;
        switch (d) {
            case 2: return f(integral_constant<std::size_t, 2>{});
            case 3: return f(integral_constant<std::size_t, 3>{});
            case 4: return f(integral_constant<std::size_t, 4>{});
            case 5: return f(integral_constant<std::size_t, 5>{});
            case 6: return f(integral_constant<std::size_t, 6>{});
            case 7: return f(integral_constant<std::size_t, 7>{});
            default: return f(integral_constant<std::size_t, kMaxBallDims>{});
        }
    }

    // PELT's route past most divisions, as L2ColumnFamily::sweep: with one
    // rounded reciprocal r = fl(1 / L) per start, estimate[k] = T' =
    // fl(F + fl(acc' + pen)) with acc' the sum over the columns, in order,
    // of max(e'_j, 0), e'_j = fl(q_j - fl(fl(s_j s_j) r)), and value[k] = U'
    // = fl(F + fl(sum of e'_j + pen)), the value covers() forms; inv[k] = r.
    // Against T (error(): each column's fl(max(e_j, 0) / L), summed, times L):
    // per column |e_j - e'_j| <= u (5.1 B_j + 2.02 A_j) as for one column,
    // the clamp keeps it, the d divisions, d - 1 additions and the product
    // by L of T and the d - 1 additions of acc' add u (2.02 d + 0.3) (A + B),
    // the pen and F additions u (2.3 (A + B) + 4.1 |pen| + 2.03 |F|): so
    // |T - T'| <= u ((2.02 d + 10) (A + B) + 4.1 |pen| + 2.03 |F|), with
    // A + B <= V, below half of error() = 4u (d + 16) (V + |pen| + |F|) for
    // every d, whose other half covers the search's comparisons (a few
    // roundings of u each). U' is within the global E of tau (see covers).
    // Returns the smallest estimate and the largest estimate less value (at
    // least zero), both blind to NaN as std::min and std::max from a first
    // operand that is not.
    SweepSummary sweep(const Starts& starts, std::size_t end, const double* prefix, double pen, double* estimate,
                       double* value, double* inv) const noexcept;

    // Start k's total at `end` exactly as evaluate() forms it.
    double total(const Starts& starts, std::size_t k, std::size_t end, const double* prefix,
                 double pen) const noexcept {
        const double len = static_cast<double>(end) - starts.start[k];
        double acc = 0.0;
        for (std::size_t j = 0; j < d_; ++j) {
            acc = acc + CostL2::column_term(s_[end * d_ + j] - starts.sum(k, j), q_[end * d_ + j] - starts.square(k, j),
                                            len);
        }
        return prefix[k] + (acc * len + pen);
    }

    double residue(const Starts& starts, std::size_t k, std::size_t at) const noexcept {
        const double len = static_cast<double>(at) - starts.start[k];
        double residue = 0.0;
        for (std::size_t j = 0; j < d_; ++j) {
            residue = residue + CostL2::column_residue(s_[at * d_ + j] - starts.sum(k, j),
                                                       q_[at * d_ + j] - starts.square(k, j), len);
        }
        return residue;
    }

    double error(double pen, double largest_rest) const noexcept {
        return columns_error_bound(unit_, energy_ + pen, largest_rest);
    }
    double local_error(const Starts& starts, std::size_t k, std::size_t at, double pen,
                       double rest) const noexcept {
        const double len = static_cast<double>(at) - starts.start[k];
        double scale = 0.0;
        for (std::size_t j = 0; j < d_; ++j) {
            scale = scale + local_scale(s_[at * d_ + j] - starts.sum(k, j), q_[at * d_ + j] - starts.square(k, j),
                                        len);
        }
        return columns_error_bound(unit_, scale * (1.0 + 0x1p-50 * static_cast<double>(d_)) + pen, rest);
    }

    // 256 global E at a zero rest, as for one column.
    double margin(double pen, double units = 1.0) const noexcept { return units * 256.0 * unit_ * (energy_ + pen); }

    // The balls of the segment [start_k, at) around the computed centre c
    // (proof beside the definition).
    BallBracket bracket(const Starts& starts, std::size_t k, std::size_t at, double a_up,
                        double a_down) const noexcept;

    // The covers of starts first to last - 1 against a newer start at `at`
    // that entered at the level `thr` (cover_union.hpp): for each k, the
    // cover of bracket() at step_levels(thr, U, allowance).down, with U the
    // rest prefix[k] + (residue + pen) formed with one rounded reciprocal of
    // L per start, as sweep forms it for one column: each column's quotient
    // takes one rounding more than column_residue's, (12.2 + d) u B in all
    // against (11.2 + d) u B, still within half of columns_error_bound, so U
    // is within the global E of the exact total. Writes the centres (d per
    // start) and radii (negative: none), from index zero.
    void covers(const Starts& starts, std::size_t first, std::size_t last, std::size_t at, const double* prefix, double pen,
                double thr, double allowance, double* centre, double* radius) const noexcept;

private:
    template <std::size_t D, class Rest>
    void evaluate_columns(const Starts& starts, std::size_t end, const Rest& rest, double* __restrict total,
                          double* __restrict value) const noexcept {
        const double e = static_cast<double>(end);
        std::array<double, D> s_end, q_end;
        std::array<const double*, D> s_start, q_start;
        for (std::size_t j = 0; j < D; ++j) {
            s_end[j] = s_[end * d_ + j];
            q_end[j] = q_[end * d_ + j];
            s_start[j] = starts.s[j].data();
            q_start[j] = starts.q[j].data();
        }
        const double* __restrict start = starts.start.data();
        const std::size_t count = starts.size();
        for (std::size_t k = 0; k < count; ++k) {
            const double len = e - start[k];
            double acc = 0.0, residue = 0.0;
            for (std::size_t j = 0; j < D; ++j) {
                const double s = s_end[j] - s_start[j][k], q = q_end[j] - q_start[j][k];
                acc = acc + CostL2::column_term(s, q, len);
                residue = residue + CostL2::column_residue(s, q, len);
            }
            total[k] = rest.total(k, acc * len);
            value[k] = rest.value(k, residue);
        }
    }

    L2ColumnsFamily(const double* s, const double* q, std::size_t d, double energy) noexcept
        : s_(s), q_(q), d_(d), energy_(energy), unit_(0x1p-51 * static_cast<double>(d + 16)) {}

    const double* s_;
    const double* q_;
    std::size_t d_;
    double energy_;  // V, summed over the columns
    double unit_;

};

}  // namespace marbolt::cost
