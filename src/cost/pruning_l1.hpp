// The l1 pruning family for one column (robust functional pruning: Fearnhead
// & Rigaill, "Changepoint detection in the presence of outliers", Journal of
// the American Statistical Association 114, 2019): a start's total is the
// sum of |x_i - theta| over its segment, convex and piecewise linear in the
// last segment's level theta, minimal at the segment's median.
//
// The model's cost selects a median and sums the deviations in order, O(L)
// per segment. The family instead follows each live start's segment as it
// grows: it keeps the segment's values near the median sorted (a window of a
// few times sqrt(L) of them, by rank in the whole signal) and compensated
// sums of the values below and above the window, so that the median, the
// cost and the level sets of the segment are read in O(1) and O(log L) per
// end. The window is rebuilt from the segment (O(L)) only when the median
// nears its edge or the segment has grown fourfold, so an end costs O(log L)
// per live start amortised. The costs it gives are estimates, with a proven
// bound on their distance to the model's own bits; the search computes those
// bits (the model's error()) only where the estimates cannot decide.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "cost/cost_l1.hpp"
#include "cost/pruning.hpp"
#include "prefix/accumulator.hpp"

namespace marbolt::cost {

// Totals come as estimates with a bound, the exact ones from the model.
// Piecewise-linear totals cut a region into more gaps than parabolas: six
// pieces keep the live list as short as any number of them did.
class L1ColumnFamily : public LineFamily<CostL1, false, 6> {
public:
    // One column of at most 2^32 - 1 samples, every value finite and within
    // the bounds.
    static std::optional<L1ColumnFamily> make(const CostL1& model, std::size_t n);

    // The cost of a start's segment: |cost - exact| <= bound, where exact is
    // the sum of |x_i - median| in exact arithmetic on the model's centred
    // values, and the model's own error() lies within `rounding` of exact.
    struct Estimate {
        double cost;
        double bound;
        double rounding;
    };

    class Starts {
    public:
        std::size_t size() const noexcept { return live_.size(); }
        // Swaps rather than copies: the buffers of the start left behind at
        // `from` are reused once the list is cut.
        void move(std::size_t from, std::size_t to) noexcept;
        void resize(std::size_t size);

        // The segment [start, end) of a live start. Its values with a rank in
        // [lo, hi] form the window, ascending; the others are counted and
        // summed below and above it.
        struct Segment {
            std::uint32_t start = 0;
            std::uint32_t end = 0;
            std::uint32_t lo = 0;
            std::uint32_t hi = 0;
            std::uint32_t below = 0;
            std::uint32_t above = 0;
            // The length at which the window was last cut from the segment;
            // 0 while it holds the whole segment.
            std::uint32_t cut = 0;
            std::uint32_t additions = 0;   // into the two sums since they were formed
            std::uint32_t insertions = 0;  // into the window since its partial sums were formed
            std::uint32_t limit = 0;       // the window's size may reach this before a cut
            // Where the last brackets were found, by distance from the median:
            // where the search for the next ones starts.
            mutable std::uint32_t guess_above = 0, guess_below = 0;
            prefix::CompensatedSum sum_below, sum_above;
            std::vector<std::uint32_t> window;  // ranks
            std::vector<double> values;         // of the window's ranks
            std::vector<double> partial;        // partial[i]: sum of values[0 .. i)
        };

        // A start's state taken out of the list (its slot is left empty, to
        // be cut), and put back in at index k.
        using State = Segment;
        State take(std::size_t k) noexcept { return std::move(live_[k]); }
        void insert(std::size_t k, State&& state) {
            live_.insert(live_.begin() + static_cast<std::ptrdiff_t>(k), std::move(state));
        }

    private:
        friend class L1ColumnFamily;

        std::vector<Segment> live_;
        std::vector<Segment> spare_;
        std::vector<std::uint32_t> scratch_;
    };

    void push(Starts& starts, std::size_t at) const;

    // Brings every live start's segment to [start, end) (end never moves
    // back) and writes the estimate of its cost.
    void estimate(Starts& starts, std::size_t end, Estimate* out) const;

    // The bracket of start k's segment, which must have been brought to `at`
    // by the last estimate: reach holds every theta with C(theta) - min C <
    // a_up, cover only theta with C(theta) - min C <= a_down, C the exact
    // cost of the segment at level theta.
    LineBracket bracket(const Starts& starts, std::size_t k, std::size_t at, double a_up,
                        double a_down) const noexcept;

    // A bound on |T - tau| for every start and end of the signal, T the
    // search's total and tau its exact value, with a penalty of `pen` in
    // magnitude and prefix costs up to `largest_prefix`.
    double error(double pen, double largest_prefix) const noexcept;

    // 256 times error(pen, 0): at least 128 E while the prefix costs stay
    // below the total absolute deviation A plus pen (an optimum is below the
    // cost of one segment, at most A, plus what it pays in penalties).
    double margin(double pen) const noexcept;

private:
    L1ColumnFamily(const CostL1& model, std::size_t n, double absolute, double largest);

    double value(std::uint32_t rank) const noexcept { return sorted_[rank]; }
    Estimate estimate_of(const Starts::Segment& s) const noexcept;
    void add(Starts::Segment& s, std::size_t i) const;
    void maintain(Starts& starts, Starts::Segment& s) const;
    void cut(Starts::Segment& s, std::size_t from, std::size_t to) const;
    void rebuild(Starts& starts, Starts::Segment& s) const;
    void recompute_partial(Starts::Segment& s) const;

    const double* x_;                  // the centred signal
    std::size_t n_;
    std::vector<std::uint32_t> rank_;  // of each position
    std::vector<double> sorted_;       // the value of each rank
    double absolute_;                  // A >= sum of |x_i|, rounded up
    double largest_;                   // max |x_i|
    double unit_;                      // of the global bound
};

}  // namespace marbolt::cost
