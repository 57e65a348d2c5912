// The penalised optimum must be the exhaustive minimum for every model of the
// table, whatever jump and min_size (PELT's pruning loses it when min_size
// exceeds jump, at a last end close to the last grid end, and for the models
// a cut can cost more), with ties and quantised values; its pruning must
// engage; where it is PELT's recursion it must fill PELT's tables to the bit;
// and the penalty path built on it must list optimal segmentations only.
#include "detect/optimum/optimum.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "../../cost/cost_factory.hpp"
#include "../hard_signals.hpp"
#include "../search_fakes.hpp"
#include "cost/cost_l2.hpp"
#include "cost/cost_normal.hpp"
#include "cost/registry.hpp"
#include "crops/crops.hpp"
#include "detect/grid.hpp"

namespace marbolt::detect {
namespace {

using cost::testing::FixedOptions;

struct ModelCase {
    std::string label;
    std::string model;
    bool extension = false;
    std::size_t min_columns = 1;
};

// Every row of the table, each variant that changes its kernel, and the
// options that change its split bound.
const std::vector<ModelCase> kCases = {
    {"l1", "l1"}, {"l2", "l2"}, {"l2_extension", "l2", true}, {"normal", "normal"},
    {"normal_nodiag", "normal"}, {"rbf", "rbf"}, {"rbf_extension", "rbf", true}, {"cosine", "cosine"},
    {"cosine_extension", "cosine", true}, {"rank", "rank"}, {"mahalanobis", "mahalanobis"},
    {"mahalanobis_indefinite", "mahalanobis"}, {"clinear", "clinear"}, {"linear", "linear", false, 2},
    {"ar", "ar"}, {"poisson", "poisson"}, {"exponential", "exponential"}, {"variance", "variance"},
    {"variance_unfloored", "variance"}, {"normal_unfloored", "normal"}, {"trend", "trend"},
};

cost::BuiltModel build(const ModelCase& c, const std::vector<double>& x, std::size_t n, std::size_t d) {
    FixedOptions::Value metric = std::vector<double>(d * d, 0.0);
    auto& m = std::get<std::vector<double>>(metric);
    for (std::size_t i = 0; i < d; ++i) m[i * d + i] = c.label == "mahalanobis_indefinite" && i == 0 ? -1.0 : 1.0 + i;
    const bool small_diag = c.label != "normal_nodiag" && c.label != "normal_unfloored";
    // Without a resolution the floors come from the data; 0 is none.
    FixedOptions floored({{"metric", metric}, {"order", std::uint64_t{2}}, {"gamma", 0.5},
                          {"add_small_diag", small_diag}},
                         d);
    FixedOptions unfloored({{"add_small_diag", small_diag}, {"resolution", std::vector<double>{0.0}}}, d);
    FixedOptions& options = c.label.ends_with("unfloored") ? unfloored : floored;
    Result<cost::BuiltModel> built = cost::build_model(c.model, {x, n, d}, options, c.extension, cost::Catalogue::full);
    if (!built) throw std::invalid_argument(built.error().message);
    return std::move(*built);
}

// Steps with noise, small integers (exact ties), or kinked lines.
std::vector<double> small_signal(std::mt19937_64& gen, std::size_t n, std::size_t d) {
    std::normal_distribution<double> noise(0.0, 1.0);
    const int family = static_cast<int>(gen() % 3);
    std::vector<double> x(n * d);
    for (std::size_t j = 0; j < d; ++j) {
        double level = 0.0, slope = noise(gen), value = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            if (gen() % 5 == 0) {
                level = 3.0 * noise(gen);
                slope = noise(gen);
            }
            value += slope;
            const double v = family == 0 ? level + noise(gen) : family == 1 ? static_cast<double>(gen() % 4)
                                                                           : value + 0.3 * noise(gen);
            // No all-zero sample: the cosine kernel has no direction for it.
            x[i * d + j] = v == 0.0 && j == 0 ? 1.0 : v;
        }
    }
    return x;
}

double penalised_total(const cost::Cost& cost, const std::vector<std::size_t>& bkps, double pen) {
    return cost.sum_of_costs(bkps) + pen * static_cast<double>(bkps.size());
}

class EveryModel : public ::testing::TestWithParam<ModelCase> {};

TEST_P(EveryModel, FindsTheExhaustiveOptimumAndSoDoesItsPath) {
    const ModelCase& c = GetParam();
    std::mt19937_64 gen(std::hash<std::string>{}(c.label));
    for (int round = 0; round < 200; ++round) {
        const std::size_t n = 5 + gen() % 10, d = std::max<std::size_t>(c.min_columns, 1 + gen() % 2);
        std::vector<double> x = small_signal(gen, n, d);
        // Counts for poisson, waiting times for exponential.
        for (double& v : x) v = c.model == "poisson" ? std::round(std::fabs(v)) : c.model == "exponential" ? std::fabs(v) + 0.25 : v;
        const cost::BuiltModel built = build(c, x, n, d);
        const cost::Cost& model = *built.model;
        const std::size_t jump = 1 + gen() % 3, min_size = 1 + gen() % 6;
        const double scale = std::fabs(model.error(0, n)) / static_cast<double>(n) + 0.01;
        const double pen = round % 10 == 0 ? 0.0 : scale * std::exp(std::uniform_real_distribution(-2.0, 2.0)(gen));
        const auto segment_cost = [&](std::size_t s, std::size_t e) { return model.error(s, e); };
        const double best = testing::brute_force_penalised(segment_cost, n, jump, min_size, pen);
        const auto found = penalised_optimum(model, n, jump, min_size, pen, built.split_bound);
        const auto unpruned = penalised_optimum(model, n, jump, min_size, pen, built.split_bound, {.pruning = false});
        const double tolerance = 1e-9 * (std::fabs(best) + pen * static_cast<double>(n) + scale * static_cast<double>(n));
        SCOPED_TRACE(::testing::Message() << "n " << n << " d " << d << " jump " << jump << " min_size "
                                          << min_size << " pen " << pen << " round " << round);
        if (std::isinf(best)) continue;  // no segmentation fits, or costs of -inf
        EXPECT_NEAR(penalised_total(model, found, pen), best, tolerance);
        EXPECT_NEAR(penalised_total(model, unpruned, pen), best, tolerance);
        // Every entry of the path is optimal at the penalties it claims.
        const double top = 20.0 * scale * static_cast<double>(n) + 1.0;
        const auto rows = crops::crops(model, n, 0.01 * scale, top, jump, min_size,
                                       {.optimum = true, .split_bound = built.split_bound});
        for (std::size_t r = 0; r < rows.size(); ++r) {
            EXPECT_LE(rows[r].lower, rows[r].upper);
            if (r > 0) {
                EXPECT_LT(model.sum_of_costs(rows[r].bkps), model.sum_of_costs(rows[r - 1].bkps));
            }
            const double mid = 0.5 * (rows[r].lower + rows[r].upper);
            EXPECT_NEAR(penalised_total(model, rows[r].bkps, mid),
                        testing::brute_force_penalised(segment_cost, n, jump, min_size, mid), tolerance + 1e-9 * top);
        }
        if (HasFailure()) break;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, EveryModel, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<ModelCase>& info) { return info.param.label; });

TEST(PenalisedOptimumBounds, FollowTheModelTable) {
    const std::vector<double> x = {1.0, 2.0, 4.0, 1.0, 3.0, 5.0, 2.0, 2.0};
    const auto bound = [&](const char* label, std::size_t d) {
        for (const ModelCase& c : kCases) {
            if (c.label == label) return build(c, x, x.size() / d, d).split_bound;
        }
        throw std::invalid_argument(label);
    };
    EXPECT_FALSE(bound("clinear", 1));
    EXPECT_FALSE(bound("mahalanobis_indefinite", 2));
    EXPECT_TRUE(bound("mahalanobis", 2)->is_zero());
    EXPECT_TRUE(bound("normal", 1)->is_zero());
    EXPECT_FALSE(bound("normal", 2)->is_zero());
    EXPECT_FALSE(bound("cosine", 1)->is_zero());
    EXPECT_TRUE(bound("cosine_extension", 1)->is_zero());
    EXPECT_FALSE(bound("rbf", 1)->is_zero());
    EXPECT_FALSE(bound("normal_unfloored", 1));
    EXPECT_FALSE(bound("variance_unfloored", 1));
    EXPECT_TRUE(bound("variance", 1)->is_zero());
    EXPECT_TRUE(bound("poisson", 1)->is_zero());
    EXPECT_TRUE(bound("trend", 1)->is_zero());
}

TEST(PenalisedOptimumPelt, IsPeltsRecursionBitForBitWhereTheyAgree) {
    // Zero bound, min_size <= jump, the last end at least min_size past the
    // last grid end: the search's own loop fills PELT's tables.
    std::mt19937_64 gen(20260311);
    std::size_t compared = 0;
    for (int round = 0; round < 1500; ++round) {
        const testing::HardSignal s = testing::hard_signal(gen);
        const std::size_t n = s.x.size();
        if (n == 0) continue;
        const cost::CostL2 l2 = cost::CostL2::build(s.x, n, 1);
        const std::size_t jump = 1 + gen() % 4, min_size = 1 + gen() % jump;
        if (n - (grid_count(n, jump) - 1) * jump < min_size) continue;
        const double pen = std::vector<double>{0.0, 0.5, 3.0, 40.0, -1.0}[gen() % 5] * s.scale * s.scale;
        PeltTables own, theirs;
        const auto mine = penalised_optimum(l2, n, jump, min_size, pen, cost::SplitBound{},
                                            {.through_pelt = false, .tables = &own});
        SCOPED_TRACE(::testing::Message() << s.story << " jump " << jump << " min_size " << min_size << " pen " << pen);
        EXPECT_EQ(mine, pelt(l2, n, jump, min_size, pen, {.tables = &theirs}));
        EXPECT_EQ(own.parent, theirs.parent);
        EXPECT_EQ(own.known, theirs.known);
        for (std::size_t k = 0; k < own.best.size(); ++k) {
            EXPECT_TRUE(own.best[k] == theirs.best[k] || (std::isnan(own.best[k]) && std::isnan(theirs.best[k])));
        }
        ++compared;
        if (HasFailure()) break;
    }
    EXPECT_GT(compared, 1000u);
}

bool same_bits(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

TEST(PenalisedOptimumTotals, FlatTotalsAreTheModelsErrorToTheBit) {
    // One-column l2 and normal take their totals from flat arrays; the
    // tables must be those of the same search through error().
    std::mt19937_64 gen(20260312);
    for (int round = 0; round < 600; ++round) {
        const testing::HardSignal s = testing::hard_signal(gen);
        const std::size_t n = s.x.size();
        const cost::CostL2 l2 = cost::CostL2::build(s.x, n, 1);
        const cost::CostNormal normal = cost::CostNormal::build(s.x, n, 1, round % 2 == 0);
        const std::size_t jump = 1 + gen() % 3, min_size = 1 + gen() % 6;
        const double pen = std::vector<double>{0.0, 0.5, 3.0, 40.0, -1.0}[gen() % 5] * s.scale * s.scale;
        SCOPED_TRACE(::testing::Message() << s.story << " jump " << jump << " min_size " << min_size << " pen " << pen);
        for (const cost::Cost* model : {static_cast<const cost::Cost*>(&l2), static_cast<const cost::Cost*>(&normal)}) {
            PeltTables flat, direct;
            const auto a = penalised_optimum(*model, n, jump, min_size, pen, cost::SplitBound{},
                                             {.through_pelt = false, .tables = &flat});
            const auto b = penalised_optimum(testing::Forwarding(*model), n, jump, min_size, pen, cost::SplitBound{},
                                             {.through_pelt = false, .tables = &direct});
            EXPECT_EQ(a, b);
            EXPECT_EQ(flat.parent, direct.parent);
            for (std::size_t k = 0; k < flat.best.size(); ++k) EXPECT_TRUE(same_bits(flat.best[k], direct.best[k]));
        }
        if (HasFailure()) break;
    }
}

TEST(PenalisedOptimumPruning, EngagesAndKeepsTheUnprunedResult) {
    // min_size above jump: PELT's own shortcut is closed, the search's loop
    // prunes with a delay. Ten changes in 3000 samples.
    std::mt19937_64 gen(7);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<double> x(3000);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<double>((i / 300) % 3) * 2.0 + noise(gen);
    const cost::CostL2 l2 = cost::CostL2::build(x, x.size(), 1);
    std::size_t pruned = 0, plain = 0;
    const double pen = 2.0 * std::log(3000.0);
    const auto a = penalised_optimum(l2, x.size(), 1, 5, pen, cost::SplitBound{}, {.evaluations = &pruned});
    const auto b = penalised_optimum(l2, x.size(), 1, 5, pen, cost::SplitBound{},
                                     {.pruning = false, .evaluations = &plain});
    EXPECT_EQ(a, b);
    EXPECT_LT(pruned * 5, plain);
    EXPECT_EQ(a.size(), 10u);
}

}  // namespace
}  // namespace marbolt::detect
