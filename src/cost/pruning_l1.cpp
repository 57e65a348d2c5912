#include "cost/pruning_l1.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "linalg/order.hpp"

namespace marbolt::cost {
namespace {

// Rounding of the family's arithmetic, u = 2^-53. Values are the model's
// centred doubles, read as exact reals; within a segment of L values sorted
// v_0 <= ... <= v_{L-1} (ties by position), with m_u = L / 2 and m_l =
// (L - 1) / 2, the median is med = v_{m_u} for odd L and fl(v_{m_u} +
// v_{m_l}) * 0.5 for even L, exactly as the model selects it; it lies in
// [v_{m_l}, v_{m_u}] (rounding is monotone and both ends are doubles), where
// C(theta) = sum of |v_r - theta| is at its minimum, so C(med) = min C.
//  - The window's partial sums are formed as sequential sums of at most W
//    values of at most vmax in magnitude, then take each later insertion as
//    one more addition (at most W of them before they are formed afresh):
//    each within 2.02 u W^2 vmax of its exact value.
//  - The sums below and above the window are compensated: within 2u of their
//    value plus 4 N^2 u^2 times the sum of |x| of the N values added, read
//    out with one more rounding; N^3 xmax bounds N^2 times that sum.
//  - The cost, (S_hi - med n_hi) + (med n_lo - S_lo), rounds six times, each
//    by u of a term no larger than the magnitudes summed in its bound.
//  - The model's own cost rounds each |x_i - med| (u of it) and sums L terms
//    in order from 0.0: within gamma_L C of the exact C, gamma_L = L u / (1 -
//    L u), which (L + 2) 2^-52 C bounds with room for L < 2^32.
// Each bound below is at least twice what these give.
constexpr double kPartial = 0x1p-50;   // times W^2 vmax: three partial sums
constexpr double kCompensated = 0x1p-51;
constexpr double kAdded = 0x1p-101;    // times N^3 xmax
constexpr double kArithmetic = 0x1p-50;

// Half the window the family keeps around the median: the level sets the
// search asks for span about 3.3 sqrt(a L) ranks at a level a (for Gaussian
// noise at unit scale); beyond the window the brackets are extrapolated
// linearly, which is safe but looser.
std::size_t half_window(std::size_t len) noexcept {
    return 8 + static_cast<std::size_t>(1.5 * std::sqrt(static_cast<double>(len)));
}

// Rounds a non-negative step up past its rounding errors.
double up(double x) noexcept { return x * (1.0 + kArithmetic) + kTinySlack; }

using Segment = L1ColumnFamily::Starts::Segment;

// The rise C(p) - min C of a segment's cost at the values p of its window,
// from the window's partial sums: with p = v_i above the median (i > m_u),
//     C(v_i) - min C = (p - med)(m_l + 1 - (L - i)) + (i - m_l - 1)(p + med)
//                      - 2 (sum of v_r over m_l < r < i),
// since each value at or below med adds p - med, each at or above p
// subtracts it, and each one between adds (p - v_r) - (v_r - med); below the
// median the mirror image. Rises only grow away from the median (C is
// convex), so the brackets are found by bisection.
//
// Every rise comes within one bound of the exact one: with V = vmax + |med|,
// the two products are at most V L in magnitude, the sum between at most L
// vmax, so the rise at most 3 V L; six roundings of at most u of these, and
// the partial sums' errors (twice those of two of them), stay below
// 2^-50 (6 L V) + 2^-49 W^2 vmax.
class Rise {
public:
    explicit Rise(const Segment& s) noexcept
        : s_(s), len_(s.end - s.start), upper_(len_ / 2), lower_((len_ - 1) / 2) {
        const double v_upper = at(upper_ - s.below), v_lower = at(lower_ - s.below);
        med_ = len_ % 2 == 1 ? v_upper : (v_upper + v_lower) * 0.5;
        const std::size_t size = s.window.size();
        const double vmax = std::max(std::fabs(at(0)), std::fabs(at(size - 1)));
        const double len = static_cast<double>(len_), w = static_cast<double>(size);
        error_ = kArithmetic * 6.0 * len * (vmax + std::fabs(med_)) + 0x1p-49 * w * w * vmax + kTinySlack;
        // The factors at window index 0 on each side; each index adds 1.
        above_c1_ = static_cast<double>(lower_ + 1 + s.below) - len;
        above_c2_ = static_cast<double>(s.below) - static_cast<double>(lower_ + 1);
        below_c1_ = len - static_cast<double>(upper_ + 1 + s.below);
        below_c2_ = static_cast<double>(upper_) - static_cast<double>(s.below + 1);
        above_mid_ = s.partial[lower() + 1];
        below_mid_ = s.partial[upper()];
    }

    double at(std::size_t l) const noexcept { return s_.values[l]; }
    std::size_t size() const noexcept { return s_.window.size(); }
    // Window indices of the upper and lower middle values.
    std::size_t upper() const noexcept { return upper_ - s_.below; }
    std::size_t lower() const noexcept { return lower_ - s_.below; }
    // Bounds every rise's rounding.
    double error() const noexcept { return error_; }

    // At window index l above upper(): c1 = m_l + 1 - (L - i), c2 = i - m_l - 1.
    double above(std::size_t l) const noexcept {
        const double p = at(l), d = static_cast<double>(l);
        const double mid = s_.partial[l] - above_mid_;
        return ((p - med_) * (above_c1_ + d) + (above_c2_ + d) * (p + med_)) - 2.0 * mid;
    }

    // At window index l below lower(): c1 = L - m_u - i - 1, c2 = m_u - i - 1.
    double below(std::size_t l) const noexcept {
        const double p = at(l), d = static_cast<double>(l);
        const double mid = below_mid_ - s_.partial[l + 1];
        return ((med_ - p) * (below_c1_ - d) - (below_c2_ - d) * (p + med_)) + 2.0 * mid;
    }

    // The slope of C just past the window's last value, and just before its
    // first (in magnitude): at least the count on one side minus the other.
    double slope_after() const noexcept { return static_cast<double>(2 * (s_.below + size()) - len_); }
    double slope_before() const noexcept { return static_cast<double>(len_ - 2 * s_.below); }

private:
    const Segment& s_;
    std::size_t len_, upper_, lower_;
    double med_;
    double error_;
    double above_c1_, above_c2_, below_c1_, below_c2_;
    double above_mid_, below_mid_;
};

// The smallest index in [first, last) where `pred` holds, assuming it holds
// from some index on; `last` when it holds nowhere.
template <class Pred>
std::size_t first_where(std::size_t first, std::size_t last, Pred pred) {
    for (std::size_t count = last - first; count > 0;) {
        const std::size_t half = count / 2;
        if (pred(first + half)) {
            count = half;
        } else {
            first += half + 1;
            count -= half + 1;
        }
    }
    return first;
}

// first_where over [0, count), searched outward from `guess` (where the
// answer was at the last end, usually a step or two from where it is now)
// by doubling steps, then by bisection.
template <class Pred>
std::size_t first_where_near(std::size_t guess, std::size_t count, Pred pred) {
    guess = std::min(guess, count);
    if (guess < count && pred(guess)) {
        std::size_t step = 1, hi = guess;
        while (hi > 0) {
            const std::size_t lo = hi > step ? hi - step : 0;
            if (!pred(lo)) return first_where(lo + 1, hi, pred);
            hi = lo;
            step *= 2;
        }
        return 0;
    }
    std::size_t step = 1, lo = guess;  // pred fails at lo, or lo == count
    while (lo < count) {
        const std::size_t hi = std::min(count, lo + step);
        if (hi == count || pred(hi)) return first_where(lo + 1, hi, pred);
        lo = hi;
        step *= 2;
    }
    return count;
}

// Where C rises by at least `a` beyond the window's edge at `edge`, given a
// rise there of at least `low` and a slope of at least `slope` past it, in
// the direction of `sign`: rounded outward.
double extrapolate(double edge, double low, double a, double slope, double sign) noexcept {
    const double q = up(((a - low) + kArithmetic * (std::fabs(a) + std::fabs(low))) / slope);
    return edge + sign * up(q + kArithmetic * std::fabs(edge));
}

// One side of a segment's bracket, at window indices from `first` (the
// first past the median on that side) away from the median, `count` of them:
// the first value whose rise is surely at least a_up (or the extrapolation
// past the window's edge), and the last value from the median on whose rise
// is surely at most a_down (the middle value itself, where C is at its
// minimum, at the least). `rise(l)` is the rise at index l in order of
// distance, `value(l)` the level there; each rise is computed once.
template <class RiseAt, class ValueAt>
void bracket_side(std::size_t count, RiseAt rise_at, ValueAt value, double middle, double error, double slope,
                  double sign, double a_up, double a_down, std::uint32_t& guess, double& reach, double& cover) {
    std::size_t seen[2] = {count, count};
    double known[2] = {0.0, 0.0};
    const auto rise = [&](std::size_t l) {
        if (seen[0] == l) return known[0];
        if (seen[1] == l) return known[1];
        const double r = rise_at(l);
        seen[1] = seen[0];
        known[1] = known[0];
        seen[0] = l;
        known[0] = r;
        return r;
    };
    std::size_t at = count;
    if (a_up > 0.0) {
        at = first_where_near(guess, count, [&](std::size_t l) { return rise(l) - error >= a_up; });
        guess = static_cast<std::uint32_t>(at);
        if (at < count) {
            reach = value(at);
        } else {
            const double low = count > 0 ? rise(count - 1) - error : 0.0;
            reach = extrapolate(count > 0 ? value(count - 1) : middle, low, a_up, slope, sign);
        }
    }
    if (!(a_down >= 0.0)) return;
    // The rise only grows with the distance, and a_down is a little below
    // a_up: the value before the reach's is nearly always the cover's.
    std::size_t last = std::min(at, count);
    const auto within = [&](std::size_t l) { return rise(l) + error <= a_down; };
    for (int tries = 0; tries < 2 && last > 0 && !within(last - 1); ++tries) --last;
    if (last > 0 && !within(last - 1)) last = first_where(0, last, [&](std::size_t l) { return !within(l); });
    cover = last > 0 ? value(last - 1) : middle;
}

// The bracket of a segment: on each side of the median, reach from the first
// window values whose rise is surely at least a_up (extrapolated past the
// window), cover up to the last values whose rise is surely at most a_down.
LineBracket bracket_of(const Rise& r, double a_up, double a_down, std::uint32_t& guess_above,
                       std::uint32_t& guess_below) noexcept {
    const std::size_t size = r.size(), upper = r.upper(), lower = r.lower();
    LineBracket b{kNowhere, kNowhere};
    if (!(a_up > 0.0) && !(a_down >= 0.0)) return b;
    double reach_hi = 0.0, reach_lo = 0.0, cover_hi = 0.0, cover_lo = 0.0;
    bracket_side(
        size - 1 - upper, [&](std::size_t l) { return r.above(upper + 1 + l); },
        [&](std::size_t l) { return r.at(upper + 1 + l); }, r.at(upper), r.error(), r.slope_after(), 1.0, a_up,
        a_down, guess_above, reach_hi, cover_hi);
    bracket_side(
        lower, [&](std::size_t l) { return r.below(lower - 1 - l); }, [&](std::size_t l) { return r.at(lower - 1 - l); },
        r.at(lower), r.error(), r.slope_before(), -1.0, a_up, a_down, guess_below, reach_lo, cover_lo);
    if (a_up > 0.0) b.reach = {reach_lo, reach_hi};
    if (a_down >= 0.0) b.cover = {cover_lo, cover_hi};
    return b;
}

}  // namespace

void L1ColumnFamily::Starts::move(std::size_t from, std::size_t to) noexcept {
    std::swap(live_[to], live_[from]);
}

void L1ColumnFamily::Starts::resize(std::size_t size) {
    while (live_.size() > size) {
        spare_.push_back(std::move(live_.back()));
        live_.pop_back();
    }
}

L1ColumnFamily::L1ColumnFamily(const CostL1& model, std::size_t n, double absolute, double largest)
    : x_(model.centred().data()), n_(n), absolute_(absolute), largest_(largest),
      unit_(static_cast<double>(n + 8) * 0x1p-52) {
    const std::vector<std::uint32_t> order = linalg::rank_order(model.centred().first(n));
    rank_.resize(n);
    sorted_.resize(n);
    for (std::size_t r = 0; r < n; ++r) {
        rank_[order[r]] = static_cast<std::uint32_t>(r);
        sorted_[r] = x_[order[r]];
    }
}

std::optional<L1ColumnFamily> L1ColumnFamily::make(const CostL1& model, std::size_t n) {
    if (model.dims() != 1 || n == 0 || n >= 0xFFFFFFFFu) return std::nullopt;
    const double* x = model.centred().data();
    double absolute = 0.0, largest = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!(std::fabs(x[i]) <= kEnvelopeLargest)) return std::nullopt;
        absolute = absolute + std::fabs(x[i]);
        largest = std::max(largest, std::fabs(x[i]));
    }
    // n roundings of at most u of the sum each.
    absolute = absolute * (1.0 + 0x1p-52 * static_cast<double>(n + 2));
    return L1ColumnFamily(model, n, absolute, largest);
}

void L1ColumnFamily::push(Starts& starts, std::size_t at) const {
    Starts::Segment s;
    if (!starts.spare_.empty()) {
        s = std::move(starts.spare_.back());
        starts.spare_.pop_back();
    }
    const auto position = static_cast<std::uint32_t>(at);
    s.start = position;
    s.end = position;
    s.lo = 0;
    s.hi = static_cast<std::uint32_t>(n_ - 1);
    s.below = s.above = s.cut = s.additions = s.limit = 0;
    s.sum_below = {};
    s.sum_above = {};
    s.window.clear();
    s.insertions = 0;
    recompute_partial(s);
    starts.live_.push_back(std::move(s));
}

void L1ColumnFamily::recompute_partial(Starts::Segment& s) const {
    s.values.resize(s.window.size());
    s.partial.resize(s.window.size() + 1);
    s.partial[0] = 0.0;
    for (std::size_t q = 0; q < s.window.size(); ++q) {
        s.values[q] = value(s.window[q]);
        s.partial[q + 1] = s.partial[q] + s.values[q];
    }
    s.insertions = 0;
}

void L1ColumnFamily::add(Starts::Segment& s, std::size_t i) const {
    const std::uint32_t r = rank_[i];
    const double v = x_[i];
    if (r < s.lo) {
        ++s.below;
        ++s.additions;
        s.sum_below.add(v);
    } else if (r > s.hi) {
        ++s.above;
        ++s.additions;
        s.sum_above.add(v);
    } else {
        const auto at = std::lower_bound(s.window.begin(), s.window.end(), r);
        const auto p = static_cast<std::size_t>(at - s.window.begin());
        s.window.insert(at, r);
        s.values.insert(s.values.begin() + static_cast<std::ptrdiff_t>(p), v);
        // Every partial sum past p gains v: one addition each, in a loop the
        // compiler vectorises, until as many have come as the window holds.
        if (++s.insertions > s.window.size()) {
            recompute_partial(s);
            return;
        }
        s.partial.insert(s.partial.begin() + static_cast<std::ptrdiff_t>(p + 1), s.partial[p] + v);
        double* __restrict partial = s.partial.data();
        for (std::size_t q = p + 2; q < s.partial.size(); ++q) partial[q] = partial[q] + v;
    }
}

// Keeps window[from, to), moving the rest into the sums below and above.
void L1ColumnFamily::cut(Starts::Segment& s, std::size_t from, std::size_t to) const {
    for (std::size_t q = 0; q < from; ++q) s.sum_below.add(value(s.window[q]));
    for (std::size_t q = to; q < s.window.size(); ++q) s.sum_above.add(value(s.window[q]));
    s.below += static_cast<std::uint32_t>(from);
    s.above += static_cast<std::uint32_t>(s.window.size() - to);
    s.additions += static_cast<std::uint32_t>(from + s.window.size() - to);
    s.lo = s.window[from];
    s.hi = s.window[to - 1];
    s.window.erase(s.window.begin() + static_cast<std::ptrdiff_t>(to), s.window.end());
    s.window.erase(s.window.begin(), s.window.begin() + static_cast<std::ptrdiff_t>(from));
    recompute_partial(s);
    s.cut = s.end - s.start;
}

// The window cut afresh from the whole segment around its median.
void L1ColumnFamily::rebuild(Starts& starts, Starts::Segment& s) const {
    const std::size_t len = s.end - s.start, upper = len / 2, h = half_window(len);
    const std::size_t from = upper >= 2 * h ? upper - 2 * h : 0;
    const std::size_t to = std::min(len, upper + 2 * h + 1);
    std::vector<std::uint32_t>& ranks = starts.scratch_;
    ranks.assign(rank_.begin() + s.start, rank_.begin() + s.end);
    s.sum_below = {};
    s.sum_above = {};
    s.additions = 0;
    if (from == 0 && to == len) {
        std::sort(ranks.begin(), ranks.end());
        s.window.assign(ranks.begin(), ranks.end());
        s.lo = 0;
        s.hi = static_cast<std::uint32_t>(n_ - 1);
        s.below = s.above = s.cut = 0;
    } else {
        const auto first = ranks.begin() + static_cast<std::ptrdiff_t>(from);
        const auto last = ranks.begin() + static_cast<std::ptrdiff_t>(to);
        std::nth_element(ranks.begin(), first, ranks.end());
        std::nth_element(first, last - 1, ranks.end());
        std::sort(first, last);
        s.window.assign(first, last);
        s.lo = s.window.front();
        s.hi = s.window.back();
        s.below = static_cast<std::uint32_t>(from);
        s.above = static_cast<std::uint32_t>(len - to);
        // In position order, as the samples arrived.
        for (std::size_t i = s.start; i < s.end; ++i) {
            if (rank_[i] < s.lo) s.sum_below.add(x_[i]);
            if (rank_[i] > s.hi) s.sum_above.add(x_[i]);
        }
        s.additions = s.below + s.above;
        s.cut = static_cast<std::uint32_t>(len);
    }
    recompute_partial(s);
}

// Keeps both middle values in the window, with room to move when there is
// more of the segment beyond it, and the window near its target size.
void L1ColumnFamily::maintain(Starts& starts, Starts::Segment& s) const {
    const std::size_t len = s.end - s.start;
    if (len == 0) return;
    const std::size_t upper = len / 2, lower = (len - 1) / 2, size = s.window.size();
    const bool low_ok = lower >= s.below + (s.below > 0 ? 2 : 0);
    const bool high_ok = upper + (s.above > 0 ? 2 : 0) < s.below + size;
    if (!low_ok || !high_ok || (s.cut > 0 && len >= 4 * std::size_t{s.cut})) {
        rebuild(starts, s);
        return;
    }
    // The limit only grows with the length: it is computed afresh only
    // when the window passes the last one.
    if (size <= s.limit) return;
    const std::size_t h = half_window(len);
    s.limit = static_cast<std::uint32_t>(6 * h);
    if (size > s.limit) {
        const std::size_t middle = upper - s.below;
        cut(s, middle >= 2 * h ? middle - 2 * h : 0, std::min(size, middle + 2 * h + 1));
    }
}

L1ColumnFamily::Estimate L1ColumnFamily::estimate_of(const Starts::Segment& s) const noexcept {
    const std::size_t len = s.end - s.start, upper = len / 2, lower = (len - 1) / 2, size = s.window.size();
    const std::size_t j = upper - s.below;
    const double v_upper = s.values[j], v_lower = s.values[lower - s.below];
    const double med = len % 2 == 1 ? v_upper : (v_upper + v_lower) * 0.5;
    const double below = s.sum_below.value(), above = s.sum_above.value();
    const double part_low = s.partial[j], part_high = s.partial[size] - s.partial[j];
    const double low = below + part_low, high = above + part_high;
    const double n_high = static_cast<double>(len - upper), n_low = static_cast<double>(upper);
    const double cost = (high - med * n_high) + (med * n_low - low);
    const double vmax = size == 0 ? 0.0 : std::max(std::fabs(s.values.front()), std::fabs(s.values.back()));
    const double w = static_cast<double>(size), added = static_cast<double>(s.additions);
    const double bound = up(kPartial * w * w * vmax + kCompensated * (std::fabs(below) + std::fabs(above)) +
                            kAdded * added * added * added * largest_ +
                            kArithmetic * (std::fabs(low) + std::fabs(high) + std::fabs(med) * static_cast<double>(len) +
                                           std::fabs(part_low) + std::fabs(part_high) + std::fabs(below) +
                                           std::fabs(above) + std::fabs(cost)));
    const double rounding = up(static_cast<double>(len + 2) * 0x1p-52 * (std::fabs(cost) + bound));
    return {cost, bound, rounding};
}

void L1ColumnFamily::estimate(Starts& starts, std::size_t end, Estimate* out) const {
    for (std::size_t k = 0; k < starts.live_.size(); ++k) {
        Starts::Segment& s = starts.live_[k];
        for (std::size_t i = s.end; i < end; ++i) add(s, i);
        s.end = static_cast<std::uint32_t>(end);
        maintain(starts, s);
        out[k] = estimate_of(s);
    }
}

double L1ColumnFamily::error(double pen, double largest_prefix) const noexcept {
    return up(unit_ * (absolute_ + pen + largest_prefix));
}

double L1ColumnFamily::margin(double pen) const noexcept { return 256.0 * unit_ * (absolute_ + pen); }

LineBracket L1ColumnFamily::bracket(const Starts& starts, std::size_t k, std::size_t, double a_up,
                                   double a_down) const noexcept {
    const Starts::Segment& s = starts.live_[k];
    return bracket_of(Rise(s), a_up, a_down, s.guess_above, s.guess_below);
}

}  // namespace marbolt::cost
