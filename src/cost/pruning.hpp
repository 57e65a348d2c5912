// Functional pruning's view of a segment-cost model: the few operations the
// pruning engine of the exact searches (detect/pruning.hpp) calls, given per
// family of models as gfpop gives each cost family its level set, minimum and
// argmin. A family is a class with
//  - make(model, n): the family for this model and signal, or nothing when
//    its bounds do not cover them (the search then runs plainly);
//  - Starts and push(starts, start): the state of each live start, in list
//    order, as parallel arrays;
//  - evaluate(starts, end, rest, total, value): each live start's total at
//    `end` exactly as the plain search forms it (the model's error() to the
//    bit, then the search's rest in the search's order), and its bookkeeping
//    value, an estimate of the exact real total; or, for a family whose
//    exact totals cost too much to form at every end (kExactTotals false),
//    estimate(starts, end, out): each segment's cost estimated, with bounds on
//    its distance to the exact cost and to the model's own bits, which the
//    search then forms from the model only where the estimates cannot decide;
//  - error() and local_error(): the family's rounding bound E on
//    |value - exact| and on exact - total, globally and for one start;
//  - bracket(starts, k, at, a_up, a_down): where the start's segment function
//    over [start, at), as a function of the last segment's parameter, lies
//    less than a_up above its minimum (an outer bound) and at most a_down
//    above it (an inner bound), each rounded to the safe side;
//  - margin(pen): the margin M the engine keeps between a dropped start and
//    its witnesses, at least 128 times the global E while the recorded costs
//    stay below the family's scale.
// A model names its families in PruningFamilies, beside the model's class;
// the searches take the first that serves, and run plainly when none does.
#pragma once

#include <array>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace marbolt::cost {

template <class... Family>
struct Families {};

// The families a model offers, in the order the searches try them.
template <class Model>
struct PruningFamilies {
    using type = Families<>;
};

// Beyond this magnitude, sums of a few values could overflow: the families'
// bounds assume they do not. Roundings among subnormal numbers are absolute,
// below kTinySlack.
inline constexpr double kEnvelopeLargest = 0x1p900;
inline constexpr double kTinySlack = 0x1p-1000;

struct Interval {
    double lo;
    double hi;

    bool empty() const noexcept { return !(lo <= hi); }
};

// An empty interval: clipping a region to it leaves nothing.
inline constexpr Interval kNowhere{1.0, -1.0};

// A bracket on the line of a one-parameter family: reach holds every level
// where the segment function is below a_up (above its minimum); cover holds
// only levels where it is at most a_down. Either may be empty.
struct LineBracket {
    Interval reach;
    Interval cover;
};

// A bracket in the space of a family with several parameters whose level
// sets are balls (l2 on several columns: the means): reach is the radius of a
// ball around `centre` holding every level where the segment function is
// below a_up above its minimum, cover the radius of one holding only levels
// where it is at most a_down; a negative radius holds nothing. Both are
// rounded to the safe side around the computed centre.
inline constexpr std::size_t kMaxBallDims = 8;

struct BallBracket {
    std::array<double, kMaxBallDims> centre;
    double reach;
    double cover;
    std::size_t dims;
};

// A bracket on a plane of two parameters (normal's mean and log-variance):
// boxes, reach holding every point where the segment function is below a_up
// above its minimum, cover only points where it is at most a_down above it.
struct PlaneBox {
    std::array<double, 2> lo, hi;

    bool empty() const noexcept { return !(lo[0] <= hi[0] && lo[1] <= hi[1]); }
};

inline constexpr std::size_t kPlaneCovers = 3;

// What a plane family knows of a level set beyond a box: the points of the
// domain l >= `domain` where a normal segment function is at most L `level`
// above its minimum, relaxed to every centre within `off` of `mean` and
// every variance in [v_lo, v_hi] (their logarithms at least log_lo and at
// most log_hi), within the box `outer`. `usable` false when it says
// nothing more.
struct PlaneLevelSet {
    double mean = 0.0, off = 0.0, v_lo = 0.0, v_hi = 0.0, log_lo = 0.0, log_hi = 0.0, level = 0.0, domain = 0.0;
    bool usable = false;
    PlaneBox outer{};
};

// Shrinks `box` towards the bounding box of its meeting with a reach set,
// rounded outwards; false when they do not meet (cost/pruning_normal.cpp).
bool tighten(const PlaneLevelSet& set, PlaneBox& box) noexcept;
// Whether a cover set surely holds every point of the box in the domain.
bool holds(const PlaneLevelSet& set, const PlaneBox& box) noexcept;

// A cover: a box, and possibly the set it is drawn in.
struct PlaneCover {
    PlaneBox box;
    PlaneLevelSet set;
};

struct PlaneBracket {
    PlaneBox reach;
    PlaneLevelSet set;  // the reach set
    std::array<PlaneCover, kPlaneCovers> cover;
};

// What every family declares: its model, its brackets, and whether its
// totals are the model's own bits (else estimates with a bound).
template <class M, class B, bool kExact>
struct FamilyTraits {
    using Model = M;
    using Bracket = B;
    static constexpr bool kExactTotals = kExact;
    // Cheap enough per start to serve lists of any length.
    static constexpr std::size_t kPlainBelow = 0;
};

// What a family may add: kPlainUntil, a length the plain search's list
// must pass before the family serves (its steps cost too much per end on
// short lists; 0, from the start), and kLayers false where dynp's pruned
// layers do not take it.
template <class Family>
inline constexpr std::size_t kPlainUntil = [] {
    if constexpr (requires { Family::kPlainUntil; }) {
        return std::size_t{Family::kPlainUntil};
    } else {
        return std::size_t{0};
    }
}();
template <class Family>
inline constexpr bool kServesLayers = [] {
    if constexpr (requires { Family::kLayers; }) {
        return bool{Family::kLayers};
    } else {
        return true;
    }
}();

// A family on the plane, with exact totals, and how many covers its regions
// keep.
template <class M, std::size_t kCovers>
struct PlaneFamily : FamilyTraits<M, PlaneBracket, true> {
    static constexpr std::size_t kRegionCovers = kCovers;
};

// A family on the line of levels, and how many pieces its regions keep.
template <class M, bool kExact, std::size_t kPieces>
struct LineFamily : FamilyTraits<M, LineBracket, kExact> {
    static constexpr std::size_t kRegionPieces = kPieces;
};

struct StepLevels {
    double up;
    double down;
};

// The levels a_up and a_down of a region step of the pruning engine
// (detect/pruning.hpp) for a start whose value is `value` against a newer
// start at `level`; `spread` covers the roundings of the gap and of adding or
// subtracting the allowance. Here, not in the engine, so that a family's
// vector loops form the brackets' levels with it.
inline StepLevels step_levels(double level, double value, double allowance) noexcept {
    const double spread = 0x1p-50 * (std::fabs(level) + std::fabs(value) + allowance);
    const double gap = level - value;
    return {(gap + allowance) + spread, (gap - allowance) - spread};
}

// The entries of a family's per-start scratch arrays that vector loops fill
// in whole vectors of eight doubles: the count rounded up.
inline constexpr std::size_t whole_vectors(std::size_t count) noexcept { return (count + 7) & ~std::size_t{7}; }

// The square root of a non-negative number (or NaN) as the bare instruction:
// std::sqrt keeps a test and a call for errno on negative arguments, a branch
// that stalls a loop of independent roots behind each one's latency.
inline double root(double x) noexcept {
#if defined(__SSE2__)
    const __m128d v = _mm_set_sd(x);
    return _mm_cvtsd_f64(_mm_sqrt_sd(v, v));
#else
    return std::sqrt(x);
#endif
}

// Resizes v to `size` entries; a cut, the common case when a sweep drops
// starts at every end, stays inline, where resize() is a call per array.
template <class T>
[[gnu::always_inline]] inline void resize_to(std::vector<T>& v, std::size_t size) {
    if (size <= v.size()) {
        v.erase(v.begin() + static_cast<std::ptrdiff_t>(size), v.end());
    } else {
        v.resize(size);
    }
}

// The starts of a one-column moment model (l2, normal) in list order: each
// one's position and the prefix sums of the column and of its squares there.
struct ColumnStarts {
    std::vector<double> start, s, q;

    std::size_t size() const noexcept { return start.size(); }
    void push_back(std::size_t at, double s_at, double q_at) {
        start.push_back(static_cast<double>(at));
        s.push_back(s_at);
        q.push_back(q_at);
    }
    void move(std::size_t from, std::size_t to) noexcept {
        start[to] = start[from];
        s[to] = s[from];
        q[to] = q[from];
    }
    void resize(std::size_t size) {
        resize_to(start, size);
        resize_to(s, size);
        resize_to(q, size);
    }
};

// How many live starts a family's regions step at each end: all, or, for a
// family whose region step costs far more than an evaluation, about its
// step_budget(live) (0: all), given the list's length. The others keep
// their regions as they are and give no cover, which leaves every region a
// superset of what it would be. A family may also name how many of the
// starts with the lowest values step (step_lowest()), whose covers reach
// farthest.
template <class Family>
concept StepBudgeted = requires(const Family& f) {
    { f.step_budget(std::size_t{}) } -> std::convertible_to<std::size_t>;
};

// Which families a search can use: any, or those with exact totals.
template <class Family>
struct AnyFamily : std::true_type {};
template <class Family>
struct ExactTotals : std::bool_constant<Family::kExactTotals> {};
// Those that dynp's layers take.
template <class Family>
struct LayerTotals : std::bool_constant<Family::kExactTotals && kServesLayers<Family>> {};

namespace detail {

template <template <class> class Accept, class Model, class Search, class Family, class... Rest>
bool first_family(const Model& model, std::size_t n, Search& search, Families<Family, Rest...>) {
    if constexpr (Accept<Family>::value) {
        if (std::optional<Family> family = Family::make(model, n)) return search(std::as_const(*family));
    }
    if constexpr (sizeof...(Rest) == 0) {
        return false;
    } else {
        return first_family<Accept>(model, n, search, Families<Rest...>{});
    }
}

}  // namespace detail

template <class Model>
inline constexpr bool kHasPruningFamily = !std::is_same_v<typename PruningFamilies<Model>::type, Families<>>;

// Runs search(family) with the first of the model's families that Accept
// takes and that serves this model and signal, and returns what it returns;
// false when none does.
template <template <class> class Accept = AnyFamily, class Model, class Search>
bool with_pruning_family(const Model& model, std::size_t n, Search&& search) {
    if constexpr (kHasPruningFamily<Model>) {
        return detail::first_family<Accept>(model, n, search, typename PruningFamilies<Model>::type{});
    } else {
        return false;
    }
}

}  // namespace marbolt::cost
