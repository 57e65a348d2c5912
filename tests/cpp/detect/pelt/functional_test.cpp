// Functional pruning must leave every PELT decision as the plain search makes
// it, for every model with a pruning family: the same breakpoints, the same
// parent of every end, and the same F of every end to the bit (for a family
// whose totals are estimates, wherever the pruned search recorded F as the
// plain bits, which includes the end n and the chain of parents from it).
#include "detect/pelt/functional.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "../hard_signals.hpp"
#include "common/vector_isa.hpp"
#include "cost/cost_l1.hpp"
#include "cost/cost_l2.hpp"
#include "cost/cost_normal.hpp"
#include "cost/pruning_normal.hpp"
#include "cost/variance_floor.hpp"
#include "cost/dispatch.hpp"
#include "cost/pruning.hpp"
#include "cost/split_bound.hpp"
#include "detect/optimum/optimum.hpp"
#include "detect/pelt/pelt.hpp"

namespace marbolt::detect {
namespace {

// The model of a family over the signal; "l2x3" reads it as three columns,
// one sample a row, so that its rows number a third of the values.
struct Built {
    std::unique_ptr<const cost::Cost> model;
    std::size_t n;
};

Built build(const std::string& model, const std::vector<double>& x) {
    if (model == "normal") {
        return {std::make_unique<cost::CostNormal>(cost::CostNormal::build(x, x.size(), 1, true)), x.size()};
    }
    if (model == "normal_floor") {
        // The floor of the data's resolution, as the package builds it for
        // rounded data (none when the resolution is not seen: the family
        // then declines), without the small diagonal.
        std::vector<double> floors{cost::resolution_floor(cost::column_resolutions(x, x.size(), 1)[0])};
        if (floors[0] == 0.0) floors.clear();
        return {std::make_unique<cost::CostNormal>(cost::CostNormal::build(x, x.size(), 1, false, floors)), x.size()};
    }
    if (model == "l1") return {std::make_unique<cost::CostL1>(cost::CostL1::build(x, x.size(), 1)), x.size()};
    const std::size_t d = model == "l2x3" ? 3 : 1, n = x.size() / d;
    return {std::make_unique<cost::CostL2>(cost::CostL2::build(x, n, d)), n};
}

void expect_same_tables(const PeltTables& fast, const PeltTables& plain);

// The pruned search itself, where it accepts the case; with `hold_marked`,
// under the optimum's rule for the starts the threshold marks.
bool pruned(const cost::Cost& model, std::size_t n, std::size_t jump, std::size_t min_size, double pen,
            PeltTables& tables, std::size_t* evaluations, bool hold_marked = false) {
    return cost::visit_model(model, [&](const auto& m) {
        using Model = std::decay_t<decltype(m)>;
        if constexpr (std::is_same_v<Model, cost::CostNormal>) {
            // The searches take it only once the plain list is long: run it here.
            const std::optional<cost::NormalColumnFamily> family = cost::NormalColumnFamily::make(m, n);
            if (!family || !functional_pelt_with(*family, m, n, jump, min_size, pen, tables, evaluations, nullptr,
                                                 hold_marked)) {
                return false;
            }
            // Every schedule of region steps fills the same tables: each
            // start at every end, and a budget of one or two per end (the
            // newest, the choice and the powers of two of age besides); so
            // do estimates whose bound is widened until most decisions are
            // near and taken from the exact totals.
            const cost::NormalColumnFamily variants[] = {family->with_step_budget(0), family->with_step_budget(1),
                                                         family->with_step_budget(2), family->widened(0.5),
                                                         family->widened(8.0)};
            for (const cost::NormalColumnFamily& variant : variants) {
                PeltTables other;
                if (functional_pelt_with(variant, m, n, jump, min_size, pen, other, nullptr, nullptr, hold_marked)) {
                    expect_same_tables(other, tables);
                }
            }
            return true;
        } else if constexpr (cost::kHasPruningFamily<Model>) {
            return functional_pelt(m, n, jump, min_size, pen, tables, evaluations, nullptr, hold_marked);
        } else {
            return false;
        }
    });
}

void expect_same_tables(const PeltTables& fast, const PeltTables& plain) {
    EXPECT_EQ(fast.known, plain.known);
    EXPECT_EQ(fast.parent, plain.parent);
    ASSERT_EQ(fast.best.size(), plain.best.size());
    std::size_t exact = 0;
    for (std::size_t k = 0; k < plain.best.size(); ++k) {
        if (!fast.estimated.empty() && fast.estimated[k]) continue;
        ++exact;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(fast.best[k]), std::bit_cast<std::uint64_t>(plain.best[k])) << k;
    }
    // F[n], the penalised total of the result, is always the plain bits.
    if (!fast.estimated.empty()) {
        EXPECT_EQ(fast.estimated.back(), 0);
    }
    EXPECT_GT(exact, 0u);
}

struct Family {
    std::string model;
    int cases;
    std::size_t longest;  // samples: the plain l1 search is cubic
    // The share of short last ends the pruned search must take on: a family
    // that estimates refuses those where the last grid end's total is near
    // the choice.
    double last_end_share;
};

class PeltFunctionalPruning : public ::testing::TestWithParam<Family> {};

// Runs a case with the vector instructions capped, so that every version of
// the vector loops meets the plain search on a machine that has the widest.
class VectorCap {
public:
    explicit VectorCap(VectorIsa cap) : previous_(cap_vector_isa(cap)) {}
    ~VectorCap() { cap_vector_isa(previous_); }
    VectorCap(const VectorCap&) = delete;
    VectorCap& operator=(const VectorCap&) = delete;

private:
    VectorIsa previous_;
};

constexpr VectorIsa kCaps[] = {VectorIsa::kAvx512, VectorIsa::kAvx2, VectorIsa::kNone};

// A case of the randomised tests: a hard signal, the family's model over it
// (of no rows for three columns of fewer than three values), a hard penalty,
// a jump in [1, jumps] and a min_size in [least, least + 5] (drawn only for
// a model with rows).
struct HardCase {
    testing::HardSignal s;
    Built built;
    double pen;
    std::size_t jump = 0, min_size = 0;

    std::string trace() const {
        return s.story + " pen " + std::to_string(pen) + " jump " + std::to_string(jump) + " min_size " +
               std::to_string(min_size);
    }
};

HardCase hard_case(std::mt19937_64& gen, const Family& family, std::size_t jumps, std::size_t least) {
    testing::HardSignal s = testing::hard_signal(gen, family.longest);
    Built built = build(family.model, s.x);
    const double pen = testing::hard_penalty(gen, s, *built.model, built.n);
    HardCase c{std::move(s), std::move(built), pen};
    if (c.built.n == 0) return c;
    c.jump = 1 + gen() % jumps;
    c.min_size = least + gen() % 6;
    return c;
}

// Runs `check` on the family's randomised cases (jumps and least as for
// hard_case) until one fails; returns the number of cases drawn.
template <class Check>
std::size_t each_hard_case(const Family& family, std::uint64_t seed, std::size_t jumps, std::size_t least,
                           Check check) {
    std::mt19937_64 gen(seed);
    std::size_t cases = 0;
    for (; cases < static_cast<std::size_t>(family.cases); ++cases) {
        const HardCase c = hard_case(gen, family, jumps, least);
        if (c.built.n == 0) continue;
        const VectorCap cap(kCaps[cases % 3]);
        SCOPED_TRACE(c.trace() + " vector cap " + std::to_string(cases % 3));
        check(c);
        if (::testing::Test::HasFailure()) break;
    }
    return cases;
}

TEST_P(PeltFunctionalPruning, FillsThePlainSearchTablesOnHardSignals) {
    std::size_t engaged = 0, shortened = 0;
    const std::size_t cases = each_hard_case(GetParam(), 20261207, 7, 0, [&](const HardCase& c) {
        const auto& [model, n] = c.built;
        const auto [jump, min_size, pen] = std::tuple(c.jump, c.min_size, c.pen);
        PeltTables plain, fast, direct;
        std::size_t plain_evaluations = 0, direct_evaluations = 0;
        const auto expected = pelt(*model, n, jump, min_size, pen,
                                   {.functional_pruning = false, .evaluations = &plain_evaluations, .tables = &plain});
        EXPECT_EQ(pelt(*model, n, jump, min_size, pen, {.tables = &fast}), expected);
        expect_same_tables(fast, plain);
        // The pruned search itself, where it accepts the case: its refusals
        // must not hide it from this test.
        if (pruned(*model, n, jump, std::max<std::size_t>(min_size, 1), pen, direct, &direct_evaluations)) {
            ++engaged;
            shortened += direct_evaluations < plain_evaluations ? 1 : 0;
            expect_same_tables(direct, plain);
        }
    });
    // Enough cases where the pruned search ran to the end, and dropped
    // starts, for the comparison to mean something.
    EXPECT_GT(engaged, cases / 4);
    EXPECT_GT(shortened, engaged / 4);
}

// When n - (last grid end) < min_size, the last end repeats an older start,
// and the starts the last grid end pruned have no stand-in: a dropped start
// can then be the plain search's choice (about one case in a thousand of
// these for l2), and must be found, or the pruned search must refuse.
TEST_P(PeltFunctionalPruning, LastEndShorterThanMinSizeKeepsThePlainChoice) {
    const Family family = GetParam();
    std::mt19937_64 gen(11);
    std::normal_distribution<double> noise(0.0, 1.0);
    const int cases = 4 * family.cases;
    int engaged = 0;
    for (int c = 0; c < cases; ++c) {
        const std::size_t jump = 2 + gen() % 6, min_size = 2 + gen() % (jump - 1);
        const std::size_t n = (3 + gen() % 30) * jump + 1 + gen() % (min_size - 1);
        std::vector<double> x(n);
        double mean = 0.0;
        for (double& v : x) {
            if (gen() % 8 == 0) mean = 2.0 * noise(gen);
            v = c % 2 == 0 ? mean + noise(gen) : std::round(mean + noise(gen));
        }
        const auto [model, rows] = build(family.model, x);
        const double pen = 0.25 * static_cast<double>(1 + gen() % 16);
        PeltTables plain, fast;
        pelt(*model, rows, jump, min_size, pen, {.functional_pruning = false, .tables = &plain});
        if (!pruned(*model, rows, jump, min_size, pen, fast, nullptr)) continue;
        ++engaged;
        expect_same_tables(fast, plain);
        if (HasFailure()) break;
    }
    EXPECT_GT(engaged, static_cast<int>(family.last_end_share * cases));
}

// Every short signal with every small jump and min_size: the grid ends
// before min_size have no F, and the candidate the end n appends may be one
// of them (n = 7, jump = 2, min_size = 4 appends position 2 again, which the
// plain search skips).
TEST_P(PeltFunctionalPruning, EverySmallGridKeepsThePlainChoice) {
    const Family family = GetParam();
    std::mt19937_64 gen(13);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<double> x(90);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = noise(gen) + (i % 40 < 20 ? 0.0 : 3.0);
    for (std::size_t values = 3; values <= x.size(); values += 3) {
        const auto [model, n] = build(family.model, std::vector<double>(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(values)));
        for (std::size_t jump = 1; jump <= 5; ++jump) {
            for (std::size_t min_size = 1; min_size <= 6; ++min_size) {
                SCOPED_TRACE(::testing::Message() << "n " << n << " jump " << jump << " min_size " << min_size);
                PeltTables plain, fast;
                const auto expected =
                    pelt(*model, n, jump, min_size, 1.5, {.functional_pruning = false, .tables = &plain});
                EXPECT_EQ(pelt(*model, n, jump, min_size, 1.5, {.tables = &fast}), expected);
                expect_same_tables(fast, plain);
                if (HasFailure()) return;
            }
        }
    }
}

// Under the optimum's rule (a start the threshold marks at b stays a
// candidate until b + min_size), the pruned search must fill the tables of
// the optimum's own loop, for every jump and min_size, and the optimum must
// take it wherever it serves.
TEST_P(PeltFunctionalPruning, HoldingMarkedStartsFillsTheOptimumsTables) {
    std::size_t wide = 0, narrow = 0;
    const std::size_t cases = each_hard_case(GetParam(), 20261208, 5, 1, [&](const HardCase& c) {
        const auto& [model, n] = c.built;
        const std::size_t jump = c.jump, min_size = c.min_size;
        const double pen = c.pen;
        PeltTables own, through, direct;
        const auto expected = penalised_optimum(*model, n, jump, min_size, pen, cost::SplitBound{},
                                                {.through_pelt = false, .tables = &own});
        EXPECT_EQ(penalised_optimum(*model, n, jump, min_size, pen, cost::SplitBound{}, {.tables = &through}),
                  expected);
        expect_same_tables(through, own);
        if (!pruned(*model, n, jump, min_size, pen, direct, nullptr, true)) return;
        expect_same_tables(direct, own);
        ++(min_size > jump ? wide : narrow);
    });
    // Enough runs of the engine, many with min_size above jump.
    EXPECT_GT(wide + narrow, cases / 4);
    EXPECT_GT(3 * wide, narrow);
}

// Long segments, where the engine drops most starts and chains of marked
// starts form: Gaussian and quantised (tied) levels, an ordinary penalty and
// the gain of one split (a near tie), each with every jump and min_size.
TEST_P(PeltFunctionalPruning, HoldingMarkedStartsOnLongSegments) {
    const Family family = GetParam();
    std::mt19937_64 gen(29);
    std::normal_distribution<double> noise(0.0, 1.0);
    const std::size_t width = family.model == "l2x3" ? 3 : 1, values = 2 * family.longest * width;
    std::size_t engaged = 0, cases = 0;
    for (const bool tied : {false, true}) {
        std::vector<double> x(values);
        double level = 0.0;
        for (std::size_t i = 0; i < values; ++i) {
            if (i % (values / 6) == 0) level = 3.0 * noise(gen);
            x[i] = tied ? std::round(2.0 * (level + noise(gen))) / 2.0 : level + noise(gen);
        }
        const auto [model, n] = build(family.model, x);
        const double gain = model->error(0, n) - (model->error(0, n / 3) + model->error(n / 3, n));
        for (const double pen : {2.0 * std::log(static_cast<double>(n)), gain}) {
            for (std::size_t jump = 1; jump <= 5; ++jump) {
                for (std::size_t min_size = 1; min_size <= 6; ++min_size, ++cases) {
                    SCOPED_TRACE(::testing::Message() << "tied " << tied << " pen " << pen << " jump " << jump
                                                    << " min_size " << min_size);
                    PeltTables own, direct;
                    penalised_optimum(*model, n, jump, min_size, pen, cost::SplitBound{},
                                      {.through_pelt = false, .tables = &own});
                    if (!pruned(*model, n, jump, min_size, pen, direct, nullptr, true)) continue;
                    ++engaged;
                    expect_same_tables(direct, own);
                    if (HasFailure()) return;
                }
            }
        }
    }
    EXPECT_GT(engaged, cases / 2);
}

INSTANTIATE_TEST_SUITE_P(Families, PeltFunctionalPruning,
                         ::testing::Values(Family{"l2", 6000, 2500, 0.95}, Family{"l1", 1000, 300, 0.6},
                                           Family{"l2x3", 2000, 2500, 0.8}, Family{"normal", 3000, 1200, 0.5},
                                           Family{"normal_floor", 3000, 1200, 0.5}),
                         [](const auto& info) { return info.param.model; });

// l2 on 2 to 9 columns with long segments, where the boxes of the regions
// close in and the covers cut them: the tables of the plain search, to the
// bit, with any jump and min_size, on ties, quantised values, huge offsets
// and extreme scales. A NaN, an infinity, values whose squares the bounds do
// not cover, or more columns than the regions have room for, leave it to the
// plain search.
TEST(PeltFunctionalPruningColumns, FillsThePlainSearchTablesOnLongSegments) {
    std::mt19937_64 gen(20261209);
    std::size_t served = 0, engaged = 0, shortened = 0;
    for (int c = 0; c < 300; ++c) {
        const std::size_t d = std::vector<std::size_t>{2, 3, 4, 6, 8, 9}[gen() % 6];
        const std::size_t n = 200 + gen() % 2500;
        const testing::HardSignal s = testing::hard_columns(gen, d, n);
        const cost::CostL2 l2 = cost::CostL2::build(s.x, n, d);
        const double unit = s.scale * s.scale, log_n = std::log(static_cast<double>(n));
        const std::size_t split = 1 + gen() % (n - 1);
        const double pen = std::vector<double>{static_cast<double>(d) * log_n * unit,
                                               2.0 * static_cast<double>(d) * log_n * unit, 0.1 * unit,
                                               l2.error(0, n) - (l2.error(0, split) + l2.error(split, n))}[gen() % 4];
        const std::size_t jump = 1 + gen() % 7, min_size = 1 + gen() % 6;
        SCOPED_TRACE(::testing::Message() << s.story << " pen " << pen << " jump " << jump << " min_size " << min_size);
        PeltTables plain, fast, direct;
        std::size_t plain_evaluations = 0, direct_evaluations = 0;
        const auto expected = pelt(l2, n, jump, min_size, pen,
                                   {.functional_pruning = false, .evaluations = &plain_evaluations, .tables = &plain});
        EXPECT_EQ(pelt(l2, n, jump, min_size, pen, {.tables = &fast}), expected);
        expect_same_tables(fast, plain);
        const bool covered = d <= cost::kMaxBallDims && s.scale < 1e100 &&
                             std::all_of(s.x.begin(), s.x.end(), [](double v) { return std::isfinite(v); });
        const bool ran = functional_pelt(l2, n, jump, min_size, pen, direct, &direct_evaluations);
        if (!covered) {
            EXPECT_FALSE(ran);
        }
        served += covered && pen > 0.0 ? 1 : 0;
        if (ran) {
            ++engaged;
            shortened += direct_evaluations < plain_evaluations / 2 ? 1 : 0;
            expect_same_tables(direct, plain);
        }
        if (HasFailure()) break;
    }
    EXPECT_GT(engaged, served * 3 / 4);
    EXPECT_GT(shortened, engaged / 2);
}

// Segments of thousands of samples, where starts are tested against the
// covers of every older live start together and buried (cover_union.hpp):
// still the plain search's tables, to the bit, on ties, quantised values,
// offsets and extreme scales, with jumps and min_sizes at which the tests
// run (nothing waiting) and at which they do not.
TEST(PeltFunctionalPruningColumns, BuryingCoveredStartsKeepsThePlainTables) {
    std::mt19937_64 gen(20261208);
    std::size_t engaged = 0, shortened = 0;
    for (int c = 0; c < 12; ++c) {
        const std::size_t d = std::vector<std::size_t>{2, 3, 5}[gen() % 3];
        const std::size_t n = 5000 + gen() % 5000;
        const testing::HardSignal s = testing::hard_columns(gen, d, n);
        const cost::CostL2 l2 = cost::CostL2::build(s.x, n, d);
        const double log_n = std::log(static_cast<double>(n)), unit = s.scale * s.scale;
        const std::size_t split = 1 + gen() % (n - 1);
        // The last: a tie between one segment and a split of it.
        const double pen = std::vector<double>{2.0 * static_cast<double>(d) * log_n * unit,
                                               static_cast<double>(d) * log_n * unit,
                                               l2.error(0, n) - (l2.error(0, split) + l2.error(split, n))}[gen() % 3];
        const std::size_t jump = 1 + gen() % 2, min_size = 1 + gen() % 3;
        SCOPED_TRACE(::testing::Message() << s.story << " jump " << jump << " min_size " << min_size);
        PeltTables plain, direct;
        std::size_t plain_evaluations = 0, direct_evaluations = 0;
        pelt(l2, n, jump, min_size, pen,
             {.functional_pruning = false, .evaluations = &plain_evaluations, .tables = &plain});
        if (!functional_pelt(l2, n, jump, min_size, pen, direct, &direct_evaluations)) continue;
        ++engaged;
        shortened += direct_evaluations < plain_evaluations / 4 ? 1 : 0;
        expect_same_tables(direct, plain);
        if (HasFailure()) break;
    }
    EXPECT_GE(engaged, 6u);
    EXPECT_GE(shortened, engaged / 2);
}

// Past its first few thousand ends, the family for several columns hands
// short segments (short plain lists) over to the plain search, and keeps
// long ones; the answer is the plain one either way.
TEST(PeltFunctionalPruningColumns, HandsShortSegmentsToThePlainSearch) {
    std::mt19937_64 gen(17);
    std::normal_distribution<double> noise(0.0, 1.0);
    const std::size_t n = 6000, d = 2;
    for (const std::size_t segment : {20, 3000}) {
        std::vector<double> x(n * d);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < d; ++j) x[i * d + j] = noise(gen) + ((i / segment) % 2 == 0 ? 0.0 : 4.0);
        }
        const cost::CostL2 l2 = cost::CostL2::build(x, n, d);
        const double pen = 2.0 * static_cast<double>(d) * std::log(static_cast<double>(n));
        PeltTables plain, fast, direct;
        const auto expected = pelt(l2, n, 1, 1, pen, {.functional_pruning = false, .tables = &plain});
        EXPECT_EQ(pelt(l2, n, 1, 1, pen, {.tables = &fast}), expected);
        expect_same_tables(fast, plain);
        EXPECT_EQ(functional_pelt(l2, n, 1, 1, pen, direct, nullptr), segment > 20) << segment;
    }
}

// Two long segments with unit Gaussian noise, the level rising by 2 halfway.
std::vector<double> one_change(std::size_t n) {
    std::mt19937_64 gen(7);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<double> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = noise(gen) + (i >= n / 2 ? 2.0 : 0.0);
    return x;
}

// Long runs between changes are where pruning works: a few hundred starts
// per end in the plain search, a few dozen with functional pruning.
TEST(PeltFunctionalPruningL2, KeepsTheStartListShortOnLongSegments) {
    const std::size_t n = 20000;
    const std::vector<double> x = one_change(n);
    const cost::CostL2 l2 = cost::CostL2::build(x, n, 1);
    const double pen = 2.0 * std::log(static_cast<double>(n));
    std::size_t fast = 0, plain = 0;
    EXPECT_EQ(pelt(l2, n, 1, 1, pen, {.evaluations = &fast}),
              pelt(l2, n, 1, 1, pen, {.functional_pruning = false, .evaluations = &plain}));
    EXPECT_LT(fast, 30 * n);
    EXPECT_GT(plain, 1000 * n);
}

// The same for l1, whose plain search is too slow to run here: the pruned
// one evaluates a few dozen segments per end, not thousands, and finds the
// change.
TEST(PeltFunctionalPruningL1, KeepsTheStartListShortOnLongSegments) {
    const std::size_t n = 20000;
    const std::vector<double> x = one_change(n);
    const cost::CostL1 l1 = cost::CostL1::build(x, n, 1);
    const double pen = 2.0 * std::log(static_cast<double>(n));
    std::size_t fast = 0;
    PeltTables tables;
    ASSERT_TRUE(functional_pelt(l1, n, 1, 1, pen, tables, &fast));
    EXPECT_LT(fast, 100 * n);
    EXPECT_EQ(pelt(l1, n, 1, 1, pen), (std::vector<std::size_t>{n / 2, n}));
    // The optimum with min_size above jump holds marked starts, and prunes as much.
    std::size_t held = 0;
    EXPECT_EQ(penalised_optimum(l1, n, 1, 2, pen, cost::SplitBound{}, {.evaluations = &held}),
              (std::vector<std::size_t>{n / 2, n}));
    EXPECT_LT(held, 100 * n);
}

// normal with the small diagonal (as the package builds it for data that
// are not rounded), without it, and with a floor for rounded data: a change
// in the mean and one in the variance; the pruned search fills the plain
// tables while evaluating far fewer segments.
TEST(PeltFunctionalPruningNormal, DropsMostStartsOnLongSegments) {
    const std::size_t n = 8000;
    std::vector<double> x = one_change(n);
    for (std::size_t i = 3 * n / 4; i < n; ++i) x[i] = 2.0 + 3.0 * (x[i] - 2.0);
    for (const int kind : {0, 1, 2}) {
        std::vector<double> floors;
        if (kind == 2) {
            for (double& v : x) v = std::round(v * 100.0) / 100.0;
            floors = {cost::resolution_floor(0.01)};
        }
        SCOPED_TRACE(kind);
        const cost::CostNormal normal = cost::CostNormal::build(x, n, 1, kind == 0, floors);
        const std::optional<cost::NormalColumnFamily> family = cost::NormalColumnFamily::make(normal, n);
        ASSERT_TRUE(family);
        const double pen = 3.0 * std::log(static_cast<double>(n));
        std::size_t fast = 0, every = 0, plain_evaluations = 0;
        PeltTables direct, stepped, plain;
        pelt(normal, n, 1, 2, pen, {.functional_pruning = false, .evaluations = &plain_evaluations, .tables = &plain});
        // The regions' own strength with every start stepped at every end,
        // and what the default budget of steps keeps of it.
        ASSERT_TRUE(functional_pelt_with(family->with_step_budget(0), normal, n, 1, 2, pen, stepped, &every));
        expect_same_tables(stepped, plain);
        EXPECT_LT(every, plain_evaluations / 3);
        ASSERT_TRUE(functional_pelt_with(*family, normal, n, 1, 2, pen, direct, &fast));
        expect_same_tables(direct, plain);
        EXPECT_LT(fast, plain_evaluations / 2);
    }
}

// PELT and the optimum as the searches run them: the plain loop until its
// list passes the family's length, then the family from the start. Long
// segments of Gaussian levels (small diagonal) and of quantised ones (a
// floor), every vector cap, jumps 1 and 2, min_size at and above the jump:
// the plain tables to the bit, the family taking over in every case.
TEST(PeltFunctionalPruningNormal, SearchesTakeTheFamilyOnLongLists) {
    const std::size_t n = 9000;
    std::mt19937_64 gen(31);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::size_t handed = 0, cases = 0;
    for (const bool tied : {false, true}) {
        std::vector<double> x(n);
        for (std::size_t i = 0; i < n; ++i) {
            const double level = (i < n / 2 ? 0.0 : 1.5) + noise(gen);
            x[i] = tied ? std::round(4.0 * level) / 4.0 : level;
        }
        const std::vector<double> floors = tied ? std::vector<double>{cost::resolution_floor(0.25)} : std::vector<double>{};
        const cost::CostNormal normal = cost::CostNormal::build(x, n, 1, !tied, floors);
        const double pen = 3.0 * std::log(static_cast<double>(n));
        for (const auto& [jump, min_size] : {std::pair<std::size_t, std::size_t>{1, 1}, {1, 2}, {2, 2}, {2, 5}}) {
            const VectorCap cap(kCaps[cases++ % 3]);
            SCOPED_TRACE(::testing::Message() << "tied " << tied << " jump " << jump << " min_size " << min_size);
            PeltTables plain, fast, own, through;
            std::size_t plain_evaluations = 0, fast_evaluations = 0, own_evaluations = 0, through_evaluations = 0;
            const auto expected = pelt(normal, n, jump, min_size, pen,
                                       {.functional_pruning = false, .evaluations = &plain_evaluations, .tables = &plain});
            EXPECT_EQ(pelt(normal, n, jump, min_size, pen, {.evaluations = &fast_evaluations, .tables = &fast}),
                      expected);
            expect_same_tables(fast, plain);
            handed += fast_evaluations < plain_evaluations / 2 ? 1 : 0;
            const auto optimum = penalised_optimum(normal, n, jump, min_size, pen, cost::SplitBound{},
                                                   {.through_pelt = false, .evaluations = &own_evaluations, .tables = &own});
            EXPECT_EQ(penalised_optimum(normal, n, jump, min_size, pen, cost::SplitBound{},
                                        {.evaluations = &through_evaluations, .tables = &through}),
                      optimum);
            expect_same_tables(through, own);
            handed += through_evaluations < own_evaluations / 2 ? 1 : 0;
            if (HasFailure()) return;
        }
    }
    EXPECT_EQ(handed, 2 * cases);
}

}  // namespace
}  // namespace marbolt::detect
