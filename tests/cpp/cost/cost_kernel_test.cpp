// Kernel costs: the default bandwidth, the rounding rules of both variants,
// the fill's bits against the plain row-by-row order, and degenerate samples.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "cost/cost_kernel.hpp"
#include "cost/cost_l2.hpp"
#include "cost_factory.hpp"
#include "parallel/worker_pool.hpp"
#include "prefix/accumulator.hpp"
#include "prefix/center.hpp"
#include "prefix/prefix.hpp"

namespace marbolt::cost::testing {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

struct GammaCase {
    std::string label;
    std::vector<double> x;
    std::size_t d;
    double expected;
};

void PrintTo(const GammaCase& c, std::ostream* os) { *os << c.label; }

class DefaultGamma : public ::testing::TestWithParam<GammaCase> {};

TEST_P(DefaultGamma, IsOneOverTheMedianSquaredDistance) {
    const GammaCase& c = GetParam();
    const std::size_t n = c.x.size() / c.d;
    EXPECT_EQ(rbf_default_gamma(c.x, n, c.d), c.expected);
    EXPECT_EQ(CostKernel::rbf(c.x, n, c.d, std::nullopt, false).gamma, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    WorkedCases, DefaultGamma,
    ::testing::Values(GammaCase{"no_samples", {}, 1, 1.0},
                      GammaCase{"one_sample", {4.0, 2.0}, 2, 1.0},
                      GammaCase{"equal_samples", {2.5, 2.5, 2.5, 2.5}, 1, 1.0},
                      // distances 1, 9, 4: median 4
                      GammaCase{"zero_one_three", {0.0, 1.0, 3.0}, 1, 0.25},
                      // distances 1, 9, 49, 4, 36, 16: median (9 + 16) / 2
                      GammaCase{"even_count", {0.0, 1.0, 3.0, 7.0}, 1, 0.08}),
    [](const auto& info) { return info.param.label; });

struct ValueCase {
    double v;
    bool extension;
    double expected;
};

class RbfValue : public ::testing::TestWithParam<ValueCase> {};

TEST_P(RbfValue, ClipsAndRoundsAsItsVariantSays) {
    const ValueCase& c = GetParam();
    EXPECT_EQ(bits(rbf_value(c.v, c.extension)), bits(c.expected)) << c.v;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RbfValue,
    ::testing::Values(ValueCase{100.5, false, 3.720075976020836e-44},  // exp(-100), never 0
                      ValueCase{1e300, false, std::exp(-100.0)},
                      ValueCase{0.001, false, std::exp(-0.01)},
                      ValueCase{-3.0, false, std::exp(-0.01)},
                      ValueCase{2.0, false, std::exp(-2.0)},
                      ValueCase{0.0, true, 0.9900498339704614},
                      ValueCase{1e300, true, std::exp(-100.0)},
                      ValueCase{0.1, true, std::exp(-static_cast<double>(0.1f))},
                      // inside the midpoints the float rounding lands on the limits
                      ValueCase{100.0000038, true, std::exp(-100.0)},
                      ValueCase{0.0099999994, true, std::exp(-0.009999999776482582)}));

TEST(RbfValueNan, StaysNan) {
    EXPECT_TRUE(std::isnan(rbf_value(kNan, false)));
    EXPECT_TRUE(std::isnan(rbf_value(kNan, true)));
}

// The plain fill: every entry evaluated on its own, row by row, with a
// compensated accumulator per row, added to the entry above.
std::vector<double> reference_table(std::size_t n, const std::function<double(std::size_t, std::size_t)>& k) {
    const std::size_t s = n + 1;
    std::vector<double> t(s * s, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        prefix::CompensatedSum acc;
        for (std::size_t l = 0; l < n; ++l) {
            acc.add(k(i, l));
            t[(i + 1) * s + l + 1] = acc.value() + t[i * s + l + 1];
        }
    }
    return t;
}

double squared_distance(const std::vector<double>& x, std::size_t d, std::size_t i, std::size_t l) {
    double s = 0.0;
    for (std::size_t c = 0; c < d; ++c) s = s + (x[i * d + c] - x[l * d + c]) * (x[i * d + c] - x[l * d + c]);
    return s;
}

double dot(const std::vector<double>& x, std::size_t d, std::size_t i, std::size_t l) {
    double s = 0.0;
    for (std::size_t c = 0; c < d; ++c) s = s + x[i * d + c] * x[l * d + c];
    return s;
}

// Across several fill tiles, with a far sample (the exp(-100) floor) early on,
// and near the end, where they spoil only the last rows and columns of the
// table, a zero sample (cosine NaN) and NaNs of two payloads.
std::vector<double> awkward_signal(std::size_t n, std::size_t d) {
    std::vector<double> x = random_signal(n, d, 99);
    if (n < 8) return x;
    for (std::size_t c = 0; c < d; ++c) {
        x[5 * d + c] = 1e3;
        x[(n - 3) * d + c] = 0.0;
    }
    x[(n - 5) * d] = std::bit_cast<double>(std::uint64_t{0x7ff8000000000001});
    x[(n - 2) * d + d - 1] = std::bit_cast<double>(std::uint64_t{0xfff8000000000002});
    return x;
}

// How the fill's independent pieces are run: in turn, last piece first (any
// hidden order dependence shows), or on two worker threads.
enum class Runner { InTurn, Reversed, Pool };

ForEachIndex runner(Runner kind, parallel::WorkerPool& pool) {
    if (kind == Runner::InTurn) return run_in_turn;
    if (kind == Runner::Reversed) {
        return [](std::size_t count, const std::function<void(std::size_t)>& body) {
            for (std::size_t i = count; i-- > 0;) body(i);
        };
    }
    return [&pool](std::size_t count, const std::function<void(std::size_t)>& body) {
        pool.for_each_index(count, body);
    };
}

using FillParam = std::tuple<std::string, bool, Runner, std::size_t>;
class KernelFill : public ::testing::TestWithParam<FillParam> {};

// 1 and 2 samples: a single, partial tile and band. 129: one row past a band,
// so the last band of the pipeline holds a single row. 603: many tiles, bands and
// row groups with a remainder, and more than one column piece of the vertical
// pass. 2050: a table of more than 16 bands and several column pieces.
TEST_P(KernelFill, TableEqualsTheRowByRowFillBitForBit) {
    const auto& [kernel, extension, runner_kind, n] = GetParam();
    constexpr std::size_t d = 2;
    parallel::WorkerPool pool(2);
    const ForEachIndex for_each = runner(runner_kind, pool);
    const double gamma = 0.37;
    const std::vector<double> x = awkward_signal(n, d);
    std::vector<double> norms(n);
    for (std::size_t i = 0; i < n; ++i) norms[i] = std::sqrt(dot(x, d, i, i));
    const bool is_rbf = kernel == "rbf";
    const CostKernel model = is_rbf ? CostKernel::rbf(x, n, d, gamma, extension, for_each).model
                                    : CostKernel::cosine(x, n, d, extension, for_each);
    const std::vector<double> t = reference_table(n, [&](std::size_t i, std::size_t l) {
        if (i == l && !extension) return is_rbf ? 1.0 : 0.0;
        if (is_rbf) return rbf_value(gamma * squared_distance(x, d, i, l), extension);
        return dot(x, d, i, l) / (norms[i] * norms[l]);
    });
    const std::size_t s = n + 1;
    for (std::size_t a = 0; a < n; ++a) {
        for (std::size_t b = a + 1; b <= n; ++b) {
            const double expected = t[b * s + b] - t[a * s + b] - t[b * s + a] + t[a * s + a];
            const double found = model.block_sum(a, b);
            // NaN payloads are the compiler's choice of operand order, not ours.
            if (std::isnan(expected)) {
                ASSERT_TRUE(std::isnan(found)) << "[" << a << ", " << b << ")";
            } else {
                ASSERT_EQ(bits(found), bits(expected)) << "[" << a << ", " << b << ")";
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BothVariants, KernelFill,
                         ::testing::Combine(::testing::Values("rbf", "cosine"), ::testing::Bool(),
                                            ::testing::Values(Runner::InTurn, Runner::Reversed,
                                                              Runner::Pool),
                                            ::testing::Values(1, 2, 129, 603, 2050)));

class EqualSamples : public ::testing::TestWithParam<std::size_t> {};

// Off the diagonal the python values are clipped to exp(-0.01) while the
// diagonal is 1.0, so L equal samples cost (L - 1)(1 - exp(-0.01)), not 0.
TEST_P(EqualSamples, CostWhatTheDiagonalRuleOfTheVariantLeaves) {
    const std::size_t len = GetParam();
    const std::vector<double> x(len * 2, 1.5);
    const CostKernel python = CostKernel::rbf(x, len, 2, std::nullopt, false).model;
    const CostKernel extension = CostKernel::rbf(x, len, 2, std::nullopt, true).model;
    const double expected = static_cast<double>(len - 1) * (1.0 - std::exp(-0.01));
    EXPECT_NEAR(python.error(0, len), expected, 1e-12 * static_cast<double>(len));
    EXPECT_NEAR(extension.error(0, len), 0.0, 1e-12 * static_cast<double>(len));
}

INSTANTIATE_TEST_SUITE_P(Lengths, EqualSamples, ::testing::Values(1, 2, 7, 40));

TEST(CosineDiagonal, PythonSingleSamplesCostNothingAndPairsCountOnlyTheirCrossTerms) {
    const std::vector<double> x{1.0, 0.0, 2.0, 0.0, 0.0, 3.0};  // two parallel, one orthogonal
    const CostKernel python = CostKernel::cosine(x, 3, 2, false);
    const CostKernel extension = CostKernel::cosine(x, 3, 2, true);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(python.error(i, i + 1), 0.0);
        EXPECT_NEAR(extension.error(i, i + 1), 0.0, 1e-15);
    }
    EXPECT_EQ(python.error(0, 2), -1.0);  // -(1 + 1) / 2
    EXPECT_NEAR(extension.error(0, 2), 0.0, 1e-15);
    EXPECT_NEAR(extension.error(0, 3), 3.0 - 5.0 / 3.0, 1e-15);
}

TEST(CosineZeroSample, MakesNanEverySegmentWhoseTableReadsReachIt) {
    constexpr std::size_t n = 8, zero = 3;
    std::vector<double> x = random_signal(n, 2, 5);
    x[zero * 2] = x[zero * 2 + 1] = 0.0;
    for (bool extension : {false, true}) {
        const CostKernel model = CostKernel::cosine(x, n, 2, extension);
        for (std::size_t a = 0; a < n; ++a) {
            for (std::size_t b = a + 1; b <= n; ++b) {
                EXPECT_EQ(std::isnan(model.error(a, b)), b > zero) << "[" << a << ", " << b << ")";
            }
        }
    }
}

class KernelBlocksView : public ::testing::TestWithParam<std::string_view> {};

TEST_P(KernelBlocksView, ErrorIsDiagSumMinusBlockSumOverLengthBitForBit) {
    constexpr std::size_t n = 20, d = 2;
    const std::vector<double> x = random_signal(n, d, 8);
    const std::unique_ptr<const Cost> cost = make_cost(GetParam(), x, n, d);
    const KernelBlocks* blocks = cost->as_kernel_blocks();
    ASSERT_NE(blocks, nullptr);
    EXPECT_EQ(cost->min_size(), 1u);
    for (std::size_t a = 0; a < n; ++a) {
        for (std::size_t b = a + 1; b <= n; ++b) {
            double e = blocks->diag_sum(a, b) - blocks->block_sum(a, b) / static_cast<double>(b - a);
            if (GetParam() == "l2_extension" && e < 0.0) e = 0.0;
            ASSERT_EQ(bits(cost->error(a, b)), bits(e)) << "[" << a << ", " << b << ")";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(KernelModels, KernelBlocksView,
                         ::testing::Values("rbf", "cosine", "l2_extension"));

class LinearKernel : public ::testing::TestWithParam<double> {};

// On a step signal with an offset the centred sums still leave rounding
// residues of either sign inside the constant runs; error clamps them.
TEST_P(LinearKernel, MatchesTheL2CostAndIsNeverNegative) {
    constexpr std::size_t n = 30, d = 2;
    std::vector<double> x(n * d);
    for (std::size_t i = 0; i < n * d; ++i) x[i] = GetParam() + (i / d < 13 ? 0.1 : 0.7);
    const CostKernelLinear linear = CostKernelLinear::build(x, n, d);
    const CostL2 l2 = CostL2::build(x, n, d);
    EXPECT_EQ(linear.model(), "l2");
    for (std::size_t a = 0; a < n; ++a) {
        for (std::size_t b = a + 1; b <= n; ++b) {
            EXPECT_GE(linear.error(a, b), 0.0);
            EXPECT_NEAR(linear.error(a, b), l2.error(a, b), 1e-9 * (1.0 + l2.error(a, b)));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Offsets, LinearKernel, ::testing::Values(0.0, 1.0 / 3.0, -250.0, 1e6));

// The build centres on the fly rather than through a centred copy; the sums
// must be the bits the copy gives.
TEST(LinearKernelBuild, ReadsTheTablesOfTheCentredCopyBitForBit) {
    constexpr std::size_t n = 120, d = 3;
    const std::vector<double> x = random_signal(n, d, 5);
    const std::vector<double> xc = prefix::center(x, n, d);
    std::vector<double> sq(n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t c = 0; c < d; ++c) sq[i] = sq[i] + xc[i * d + c] * xc[i * d + c];
    }
    const prefix::Prefix1 sums = prefix::Prefix1::build(xc, n, d);
    const prefix::Prefix1 sqnorms = prefix::Prefix1::build(sq, n, 1);
    const CostKernelLinear model = CostKernelLinear::build(x, n, d);
    for (std::size_t a = 0; a < n; a += 7) {
        for (std::size_t b = a + 1; b <= n; b += 5) {
            double block = 0.0;
            for (std::size_t c = 0; c < d; ++c) block = block + sums.segment_sum(a, b, c) * sums.segment_sum(a, b, c);
            ASSERT_EQ(bits(model.diag_sum(a, b)), bits(sqnorms.segment_sum(a, b, 0)));
            ASSERT_EQ(bits(model.block_sum(a, b)), bits(block));
        }
    }
}

}  // namespace
}  // namespace marbolt::cost::testing
