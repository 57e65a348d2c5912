// The brackets of the one-column l2 family must err on the safe side of the
// exact level sets they stand for, whatever the rounding: checked against
// long double.
#include "cost/pruning_l2.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "common/vector_isa.hpp"
#include "detect/pruning.hpp"

namespace marbolt::cost {
namespace {

struct Parabola {
    double s_end, s_start, len, a;
};

// Sums with offsets up to 1e12 (so that their difference rounds), lengths
// from 1 to 1e7, and right-hand sides from 1e-300 to 1e12.
Parabola random_parabola(std::mt19937_64& gen) {
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    const double offset = std::ldexp(unit(gen), static_cast<int>(gen() % 41));
    const double len = static_cast<double>(1 + gen() % 10'000'000);
    return {offset + unit(gen) * len, offset, len, std::ldexp(std::fabs(unit(gen)), static_cast<int>(gen() % 1040) - 1000)};
}

TEST(EnvelopeIntervals, OuterHoldsAndInnerStaysInsideTheExactInterval) {
    std::mt19937_64 gen(3);
    for (int k = 0; k < 200'000; ++k) {
        const Parabola p = random_parabola(gen);
        // As the search forms them: the rounded reciprocal, the centre from it.
        const double inv_len = 1.0 / p.len;
        const double c = (p.s_end - p.s_start) * inv_len;
        const long double exact_c = (static_cast<long double>(p.s_end) - p.s_start) / p.len;
        const long double exact_w = std::sqrt(static_cast<long double>(p.a) / p.len);
        const double outer = outer_half_width(c, inv_len, p.a);
        ASSERT_LE(static_cast<long double>(c - outer), exact_c - exact_w) << k;
        ASSERT_GE(static_cast<long double>(c + outer), exact_c + exact_w) << k;
        const double inner = inner_half_width(c, inv_len, p.a);
        if (inner < 0.0) continue;
        ASSERT_GE(static_cast<long double>(c - inner), exact_c - exact_w) << k;
        ASSERT_LE(static_cast<long double>(c + inner), exact_c + exact_w) << k;
    }
}

TEST(EnvelopeIntervals, NothingToHoldWithoutAPositiveRightHandSide) {
    for (double a : {0.0, -1.0, -0.0, std::nan("")}) {
        EXPECT_LT(outer_half_width(1.0, 0.5, a), 0.0);
        EXPECT_LT(inner_half_width(1.0, 0.5, a), 0.0);
    }
}

// The balls of the family for several columns: the reach ball around the
// computed centre holds the exact ball of radius sqrt(a_up / L) around the
// exact centre, and the cover ball lies inside the exact one of a_down.
TEST(EnvelopeBalls, ReachHoldsAndCoverStaysInsideTheExactBall) {
    std::mt19937_64 gen(4);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    int checked = 0;
    for (int k = 0; k < 2'000; ++k) {
        const std::size_t d = 2 + gen() % (kMaxBallDims - 1), n = 2 + gen() % 300;
        std::vector<double> x(n * d);
        const double offset = std::ldexp(unit(gen), static_cast<int>(gen() % 41));
        const double spread = std::ldexp(1.0, static_cast<int>(gen() % 60) - 30);
        for (double& v : x) v = offset + spread * unit(gen);
        const CostL2 model = CostL2::build(x, n, d);
        const std::optional<L2ColumnsFamily> family = L2ColumnsFamily::make(model, n);
        ASSERT_TRUE(family);
        L2ColumnsFamily::Starts starts;
        const std::size_t start = gen() % n, at = start + 1 + gen() % (n - start);
        family->push(starts, start);
        const double scale = spread * spread * static_cast<double>(at - start);
        const double a_up = scale * std::ldexp(std::fabs(unit(gen)), static_cast<int>(gen() % 60) - 40);
        const double a_down = a_up * std::fabs(unit(gen));
        const BallBracket b = family->bracket(starts, 0, at, a_up, a_down);
        ASSERT_EQ(b.dims, d);
        const long double len = static_cast<long double>(at - start);
        long double off2 = 0.0L;  // |c - c*|^2
        for (std::size_t j = 0; j < d; ++j) {
            const long double exact = (static_cast<long double>(model.sums().data[at * d + j]) -
                                       model.sums().data[start * d + j]) / len;
            off2 += (b.centre[j] - exact) * (b.centre[j] - exact);
        }
        const long double off = std::sqrt(off2);
        ASSERT_GE(static_cast<long double>(b.reach), std::sqrt(a_up / len) + off) << k;
        if (b.cover < 0.0) continue;
        ++checked;
        ASSERT_LE(static_cast<long double>(b.cover) + off, std::sqrt(a_down / len)) << k;
    }
    EXPECT_GT(checked, 1'000);
}

// A signal of 2 to kMaxBallDims columns with ties, offsets and extreme
// scales, its family, and 1 to `most` starts before the end `at`, with
// prefix costs of the order of a segment's cost (`unit_cost`).
struct OlderStarts {
    std::unique_ptr<CostL2> model;  // held in place: the family reads its tables
    std::optional<L2ColumnsFamily> family;
    L2ColumnsFamily::Starts starts;
    std::vector<double> prefix;
    std::size_t d = 0, at = 0;
    double unit_cost = 0.0, largest = 0.0;  // the largest |prefix|
};

OlderStarts older_starts(std::mt19937_64& gen, std::size_t most) {
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    OlderStarts o;
    o.d = 2 + gen() % (kMaxBallDims - 1);
    const std::size_t n = 10 + gen() % 300;
    std::vector<double> x(n * o.d);
    const double offset = std::ldexp(unit(gen), static_cast<int>(gen() % 41));
    const double spread = std::ldexp(1.0, static_cast<int>(gen() % 60) - 30);
    for (double& v : x) v = gen() % 4 == 0 ? offset : offset + spread * unit(gen);  // ties too
    o.model = std::make_unique<CostL2>(CostL2::build(x, n, o.d));
    o.family = L2ColumnsFamily::make(*o.model, n);
    const std::size_t count = 1 + gen() % std::min(most, n - 1);
    o.at = count + gen() % (n - count);
    o.unit_cost = spread * spread * static_cast<double>(o.at);
    o.prefix.resize(count);
    if (!o.family) return o;
    for (std::size_t k = 0; k < count; ++k) {
        o.family->push(o.starts, k * o.at / count);
        o.prefix[k] = o.unit_cost * unit(gen);
        o.largest = std::max(o.largest, std::fabs(o.prefix[k]));
    }
    return o;
}

// The exact residue (sum over the columns of q - s^2 / L) and centre of
// the segment [start, at), in long double.
struct ExactSegment {
    long double residue = 0.0L;
    std::array<long double, kMaxBallDims> centre{};
};

ExactSegment exact_segment(const CostL2& model, std::size_t d, std::size_t start, std::size_t at) {
    ExactSegment e;
    const long double len = static_cast<long double>(at - start);
    for (std::size_t j = 0; j < d; ++j) {
        const long double s =
            static_cast<long double>(model.sums().data[at * d + j]) - model.sums().data[start * d + j];
        const long double q =
            static_cast<long double>(model.sums_sq().data[at * d + j]) - model.sums_sq().data[start * d + j];
        e.residue += q - s * s / len;
        e.centre[j] = s / len;
    }
    return e;
}

// The covers of older starts against a newer one, formed for the union
// test with one reciprocal per start: the centres of bracket(), and each
// ball inside the exact one where the older start beats the newer by the
// allowance less the global E (its value U within E of the exact total).
TEST(EnvelopeBalls, CoversOfOlderStartsStayInsideTheExactBall) {
    std::mt19937_64 gen(5);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    int checked = 0;
    for (int c = 0; c < 500; ++c) {
        const OlderStarts o = older_starts(gen, 8);
        ASSERT_TRUE(o.family);
        const auto& [model, family, starts, prefix, d, at, unit_cost, largest] =
            std::tie(*o.model, *o.family, o.starts, o.prefix, o.d, o.at, o.unit_cost, o.largest);
        const std::size_t count = prefix.size();
        const double pen = unit_cost * std::fabs(unit(gen)), thr = unit_cost * 2.0 * unit(gen);
        const double error = family.error(pen, std::max(largest, std::fabs(thr)));
        const double allowance = (error + unit_cost * 0x1p-30) * (1.0 + 0x1p-50);
        std::vector<double> centre(count * d), radius(count);
        family.covers(starts, 0, count, at, prefix.data(), pen, thr, allowance, centre.data(), radius.data());
        for (std::size_t k = 0; k < count; ++k) {
            const BallBracket b = family.bracket(starts, k, at, 1.0, 1.0);
            for (std::size_t j = 0; j < d; ++j) ASSERT_EQ(centre[k * d + j], b.centre[j]) << c << " " << k;
            if (radius[k] < 0.0) continue;
            ++checked;
            const std::size_t start = static_cast<std::size_t>(starts.start[k]);
            const long double len = static_cast<long double>(at - start);
            const ExactSegment exact = exact_segment(model, d, start, at);
            const long double residue = exact.residue;
            long double off2 = 0.0L;
            for (std::size_t j = 0; j < d; ++j) {
                off2 += (centre[k * d + j] - exact.centre[j]) * (centre[k * d + j] - exact.centre[j]);
            }
            const long double exact_total = static_cast<long double>(prefix[k]) + pen + residue;
            const long double level = static_cast<long double>(thr) - exact_total - (allowance - error);
            ASSERT_GT(level, 0.0L) << c << " " << k;
            ASSERT_LE(static_cast<long double>(radius[k]) + std::sqrt(off2), std::sqrt(level / len)) << c << " " << k;
        }
    }
    EXPECT_GT(checked, 300);
}

// The several-column sweep, PELT's route past most divisions: its estimates
// within half the global E of the plain totals (which total() forms to
// evaluate()'s bits), its values within E of the exact totals, its
// reciprocals and its summary the minimum and largest gap of its arrays;
// ties, offsets and extreme scales, every column count.
TEST(EnvelopeBalls, SweepEstimatesStayWithinHalfTheBoundOfThePlainTotals) {
    std::mt19937_64 gen(9);
    for (int c = 0; c < 400; ++c) {
        const OlderStarts o = older_starts(gen, 40);
        ASSERT_TRUE(o.family);
        const auto& [model, family, starts, prefix, d, at, unit_cost, largest] =
            std::tie(*o.model, *o.family, o.starts, o.prefix, o.d, o.at, o.unit_cost, o.largest);
        std::uniform_real_distribution<double> unit(-1.0, 1.0);
        const double pen = unit_cost * std::fabs(unit(gen));
        const std::size_t count = prefix.size();
        const double error = family.error(pen, largest);
        std::vector<double> total(count), plain_value(count), estimate(count), value(count), inv(count);
        family.evaluate(starts, at, detect::PeltRest{prefix.data(), pen}, total.data(), plain_value.data());
        const SweepSummary summary = family.sweep(starts, at, prefix.data(), pen, estimate.data(), value.data(),
                                                   inv.data());
        double lowest = std::numeric_limits<double>::infinity(), clamped = 0.0;
        for (std::size_t k = 0; k < count; ++k) {
            ASSERT_EQ(std::bit_cast<std::uint64_t>(family.total(starts, k, at, prefix.data(), pen)),
                      std::bit_cast<std::uint64_t>(total[k]));
            ASSERT_EQ(inv[k], 1.0 / (static_cast<double>(at) - starts.start[k]));
            ASSERT_LE(std::fabs(estimate[k] - total[k]), 0.5 * error) << c << " " << k;
            const auto start = static_cast<std::size_t>(starts.start[k]);
            const long double exact =
                static_cast<long double>(prefix[k]) + pen + exact_segment(model, d, start, at).residue;
            ASSERT_LE(std::fabs(static_cast<long double>(value[k]) - exact), error) << c << " " << k;
            lowest = std::min(lowest, estimate[k]);
            clamped = std::max(clamped, estimate[k] - value[k]);
        }
        ASSERT_EQ(summary.lowest, lowest);
        ASSERT_EQ(summary.clamped, clamped);
    }
}

// The family's sweep and brackets over many starts, as every vector version
// the machine runs forms them: the sweep's arrays and summary to the
// baseline's bits (the summary the plain minimum and maximum of its arrays),
// the AVX2 brackets to the baseline's bits, and the AVX-512 ones, whose
// roots are bounded rather than rounded, on their safe sides: reaches no
// narrower, covers no wider. Counts run over every tail of an 8-lane pass.
TEST(L2ColumnSweep, EveryVectorVersionMatchesTheBaseline) {
    std::mt19937_64 gen(8);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::vector<VectorIsa> isas{VectorIsa::kNone};
    if (best_vector_isa() != VectorIsa::kNone) isas.push_back(VectorIsa::kAvx2);
    if (best_vector_isa() == VectorIsa::kAvx512) isas.push_back(VectorIsa::kAvx512);
    const auto bits = [](const std::vector<double>& v) {
        std::vector<std::uint64_t> b(v.size());
        for (std::size_t k = 0; k < v.size(); ++k) b[k] = std::bit_cast<std::uint64_t>(v[k]);
        return b;
    };
    for (int c = 0; c < 3'000; ++c) {
        const std::size_t n = 2 + gen() % 200, count = gen() % 21;
        const double offset = std::ldexp(unit(gen), static_cast<int>(gen() % 41));
        const double spread = std::ldexp(1.0, static_cast<int>(gen() % 80) - 40);
        std::vector<double> x(n);
        for (double& v : x) v = c % 3 == 0 ? std::round(offset + 3.0 * unit(gen)) : offset + spread * unit(gen);
        const CostL2 model = CostL2::build(x, n, 1);
        const std::size_t end = 1 + gen() % n;
        std::vector<std::size_t> at(count);
        for (std::size_t& a : at) a = gen() % end;
        std::vector<double> prefix(count);
        for (double& p : prefix) p = spread * spread * static_cast<double>(n) * unit(gen);
        const double pen = std::fabs(unit(gen)) * spread * spread;
        const double level = spread * spread * static_cast<double>(n) * unit(gen);
        const double allowance = std::ldexp(std::fabs(unit(gen)), static_cast<int>(gen() % 40) - 30) * spread;
        struct Swept {
            std::vector<double> estimate, value, inv, out;
            SweepSummary summary;
        };
        std::vector<Swept> swept;
        for (const VectorIsa isa : isas) {
            const VectorIsa previous = cap_vector_isa(isa);
            const std::optional<L2ColumnFamily> family = L2ColumnFamily::make(model, n);
            cap_vector_isa(previous);
            ASSERT_TRUE(family);
            L2ColumnFamily::Starts starts;
            for (const std::size_t a : at) family->push(starts, a);
            const std::size_t lanes = whole_vectors(count);
            Swept s{std::vector<double>(lanes), std::vector<double>(lanes), std::vector<double>(lanes),
                    std::vector<double>(4 * lanes), {}};
            std::vector<double> roots(2 * count);
            s.summary = family->sweep(starts, end, prefix.data(), pen, s.estimate.data(), s.value.data(), s.inv.data());
            family->brackets(starts, end, s.inv.data(), s.value.data(), level, allowance, roots.data(), s.out.data());
            // What the lanes past the starts hold is of no use.
            for (std::vector<double>* v : {&s.estimate, &s.value, &s.inv}) v->resize(count);
            for (std::size_t part = 0; part < 4; ++part) {
                std::copy_n(s.out.begin() + static_cast<std::ptrdiff_t>(part * lanes), count,
                            s.out.begin() + static_cast<std::ptrdiff_t>(part * count));
            }
            s.out.resize(4 * count);
            swept.push_back(std::move(s));
        }
        const Swept& base = swept[0];
        double lowest = std::numeric_limits<double>::infinity(), clamped = 0.0;
        for (std::size_t k = 0; k < count; ++k) {
            lowest = std::min(lowest, base.estimate[k]);
            clamped = std::max(clamped, base.estimate[k] - base.value[k]);
        }
        for (std::size_t i = 0; i < swept.size(); ++i) {
            SCOPED_TRACE("case " + std::to_string(c) + " version " + std::to_string(i));
            const Swept& s = swept[i];
            ASSERT_EQ(bits(s.estimate), bits(base.estimate));
            ASSERT_EQ(bits(s.value), bits(base.value));
            ASSERT_EQ(bits(s.inv), bits(base.inv));
            ASSERT_EQ(s.summary.lowest, lowest);
            ASSERT_EQ(s.summary.clamped, clamped);
            if (isas[i] != VectorIsa::kAvx512) {
                ASSERT_EQ(bits(s.out), bits(base.out));
                continue;
            }
            for (std::size_t k = 0; k < count; ++k) {
                const Interval reach{s.out[k], s.out[count + k]}, cover{s.out[2 * count + k], s.out[3 * count + k]};
                const Interval base_reach{base.out[k], base.out[count + k]};
                const Interval base_cover{base.out[2 * count + k], base.out[3 * count + k]};
                ASSERT_EQ(reach.empty(), base_reach.empty()) << k;
                if (!reach.empty()) {
                    ASSERT_LE(reach.lo, base_reach.lo) << k;
                    ASSERT_GE(reach.hi, base_reach.hi) << k;
                }
                if (cover.empty()) continue;
                ASSERT_FALSE(base_cover.empty()) << k;
                ASSERT_GE(cover.lo, base_cover.lo) << k;
                ASSERT_LE(cover.hi, base_cover.hi) << k;
            }
        }
    }
}

}  // namespace
}  // namespace marbolt::cost

namespace marbolt::cost {
namespace {

// V of one column read with adjacent rows (the vector pass) against the same
// rows read two apart (the row-by-row loop): the same bits, or nothing from
// both, over every length's tail, quantised and offset values, extreme
// scales, and a NaN, an infinity or a value past the bounds in any row.
TEST(L2Energy, AdjacentRowsMatchTheRowByRowLoop) {
    std::mt19937_64 gen(21);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    const double spoilers[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(), 0x1p901};
    for (int c = 0; c < 4'000; ++c) {
        const std::size_t n = gen() % 40;
        const double offset = std::ldexp(unit(gen), static_cast<int>(gen() % 61) - 20);
        const double scale = std::ldexp(1.0, static_cast<int>(gen() % 400) - 200);
        std::vector<double> s(n + 1), q(n + 1);
        for (std::size_t i = 0; i <= n; ++i) {
            const double x = c % 3 == 0 ? std::round(3.0 * unit(gen)) : offset + scale * unit(gen);
            s[i] = i == 0 ? 0.0 : s[i - 1] + x;
            q[i] = i == 0 ? 0.0 : q[i - 1] + x * x;
        }
        if (c % 4 == 1) (c % 8 == 1 ? s : q)[gen() % (n + 1)] = spoilers[gen() % 4];
        std::vector<double> s2(2 * (n + 1), 7.0), q2(2 * (n + 1), 7.0);
        for (std::size_t i = 0; i <= n; ++i) {
            s2[2 * i] = s[i];
            q2[2 * i] = q[i];
        }
        const std::optional<double> adjacent = l2_energy(s.data(), q.data(), n);
        const std::optional<double> strided = l2_energy(s2.data(), q2.data(), n, 2);
        SCOPED_TRACE("case " + std::to_string(c));
        ASSERT_EQ(adjacent.has_value(), strided.has_value());
        if (adjacent) {
            ASSERT_EQ(std::bit_cast<std::uint64_t>(*adjacent), std::bit_cast<std::uint64_t>(*strided));
        }
    }
}

}  // namespace
}  // namespace marbolt::cost
