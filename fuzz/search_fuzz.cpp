// Every search on every model, with the arguments the module functions let
// through after their own checks (jump >= 1, width >= 2 for window_fit,
// min_size >= 1 for kernel_pelt, valid window centres), on signals full of
// NaN, infinities, extreme magnitudes and repeats, and on signals of up to
// 2^63 - 1 rows without columns. Each result must be a valid breakpoint list,
// each segment a search evaluates must be inside the signal, and on l2 with
// ordinary values the exact searches must reach the unpruned optimum.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <vector>

#include "common/numeric.hpp"
#include "common/vector_isa.hpp"
#include "cost/dispatch.hpp"
#include "cost/pruning.hpp"
#include "cost/pruning_normal.hpp"
#include "crops/crops.hpp"
#include "detect/ball_intersection.hpp"
#include "detect/binseg.hpp"
#include "detect/bottomup.hpp"
#include "detect/dynp/dynp.hpp"
#include "detect/grid.hpp"
#include "detect/kernel_pelt.hpp"
#include "detect/optimum/optimum.hpp"
#include "detect/pelt/functional.hpp"
#include "detect/pelt/pelt.hpp"
#include "detect/window.hpp"
#include "fuzz_check.hpp"
#include "fuzz_input.hpp"
#include "fuzz_model.hpp"
#include "fuzz_optimum.hpp"

namespace marbolt::fuzz {
namespace {

enum class SearchKind {
    pelt, dynp, dynp_all, binseg, bottomup, window, kernel_pelt, crops, sanity_check, count
};

// Rows per search, so that the slowest model (l1, O(L) per segment, half
// these) keeps each input in the milliseconds.
std::size_t max_rows(SearchKind s) {
    switch (s) {
        case SearchKind::dynp:
        case SearchKind::dynp_all: return 40;
        case SearchKind::crops: return 80;
        default: return 160;
    }
}

std::size_t at_least_one(std::uint64_t v) { return std::max<std::uint64_t>(v, 1); }

// One search call: the model, the rest of the input, and the smallest jump
// that keeps the grid of a very long signal to at most 64 positions.
struct Call {
    const CheckedCost& cost;
    FuzzInput& in;
    ModelKind kind;
    std::uint64_t min_jump;

    std::size_t n() const noexcept { return cost.n_samples(); }
    // 0 stays 0: the module refuses it, and so does every fuzz function.
    std::uint64_t jump() {
        const std::uint64_t j = in.size_arg();
        return j == 0 ? 0 : std::max(j, min_jump);
    }
};

// l2 in either form on an ordinary signal: the exact searches must reach the
// reference optimum there.
bool checks_optimum(const Call& call) {
    return call.kind.row->name == "l2" &&
           call.cost.scale.has_value() && call.n() > 0;
}

SegmentCost model_cost(const cost::Cost& cost) {
    return [&cost](std::size_t start, std::size_t end) { return cost.error(start, end); };
}

detect::StopRule read_rule(FuzzInput& in) {
    detect::StopRule rule;
    rule.n_bkps = in.optional_size();
    rule.pen = in.optional_real();
    rule.epsilon = in.optional_real();
    return rule;
}

// At most n_bkps breakpoints before n when that rule is the one consulted.
void check_rule_count(const std::vector<std::size_t>& bkps, const detect::StopRule& rule) {
    if (rule.n_bkps) FUZZ_CHECK(bkps.size() - 1 <= *rule.n_bkps);
}

// A pruned search's tables against the plain search's: the same P at every
// end, and the same F wherever the pruned search recorded the plain bits
// (everywhere but where a family's estimates sufficed, and always at n).
// Two NaNs count as the same: when both operands of an addition are NaN the
// result is the first one's, and clang, which builds this target, may
// commute the operands of the scalar loops but not of the vector ones, so a
// signal holding both a NaN and infinities can give a NaN of either sign
// under different vector caps (the C++ tests still compare the bits of the
// shipped build).
void check_same_tables(const detect::PeltTables& fast, const detect::PeltTables& plain) {
    FUZZ_CHECK(fast.known == plain.known && fast.parent == plain.parent);
    if (!fast.estimated.empty()) FUZZ_CHECK(fast.estimated.size() == plain.best.size() && !fast.estimated.back());
    for (std::size_t k = 0; k < plain.best.size(); ++k) {
        if (!fast.estimated.empty() && fast.estimated[k]) continue;
        if (std::isnan(fast.best[k]) && std::isnan(plain.best[k])) continue;
        FUZZ_CHECK(std::bit_cast<std::uint64_t>(fast.best[k]) == std::bit_cast<std::uint64_t>(plain.best[k]));
    }
}

// The functional engine with normal's family (which the searches take only
// once the plain list is long, past what these inputs reach), on a bare
// one-column normal model; false where it does not serve.
bool normal_family_run(const Call& call, std::uint64_t jump, std::uint64_t min_size, double pen, bool hold_marked,
                       detect::PeltTables& tables) {
    const auto* normal = dynamic_cast<const cost::CostNormal*>(&call.cost.inner());
    if (normal == nullptr || call.n() == 0) return false;
    const std::optional<cost::NormalColumnFamily> family = cost::NormalColumnFamily::make(*normal, call.n());
    if (!family) return false;
    // A schedule of region steps from the arguments: every start at every
    // end, a few per end, or the default.
    constexpr std::size_t kBudgets[] = {0, 1, 2, 4, 16};
    cost::NormalColumnFamily scheduled = family->with_step_budget(kBudgets[(jump * 7 + min_size) % 5]);
    // Estimates moved within a widened bound: most decisions near.
    if ((jump + min_size) % 3 == 0) scheduled = scheduled.widened(1.0);
    return detect::functional_pelt_with(scheduled, *normal, call.n(), jump, at_least_one(min_size), pen, tables,
                                        nullptr, nullptr, hold_marked);
}

// PELT's pruned search on the bare model (the wrapper hides its class from
// the fast paths) against the plain search, for every model with a pruning
// family, with each version of the vector loops the machine runs.
void check_pelt_paths(const Call& call, std::uint64_t jump, std::uint64_t min_size, double pen) {
    if (!call.kind.is("l2") && !call.kind.is("l1") && !call.kind.is("normal")) return;
    const cost::Cost& model = call.cost.inner();
    const std::size_t n = call.n();
    detect::PeltTables plain;
    const auto expected =
        detect::pelt(model, n, jump, min_size, pen, {.functional_pruning = false, .tables = &plain});
    for (const VectorIsa cap : {VectorIsa::kAvx512, VectorIsa::kAvx2, VectorIsa::kNone}) {
        const VectorIsa previous = cap_vector_isa(cap);
        detect::PeltTables fast;
        const bool same = detect::pelt(model, n, jump, min_size, pen, {.tables = &fast}) == expected;
        cap_vector_isa(previous);
        FUZZ_CHECK(same);
        check_same_tables(fast, plain);
    }
    // Its estimates under each cap (none below AVX-512: every total exact).
    for (const VectorIsa cap : {VectorIsa::kAvx512, VectorIsa::kNone}) {
        const VectorIsa previous = cap_vector_isa(cap);
        detect::PeltTables direct;
        const bool served = normal_family_run(call, jump, min_size, pen, false, direct);
        cap_vector_isa(previous);
        if (served) check_same_tables(direct, plain);
    }
}

// The functional engine under the optimum's rule for marked starts, called
// directly so that the optimum's fallback cannot hide it: where it serves,
// the tables of the optimum's own loop.
void check_held_engine(const Call& call, std::uint64_t jump, std::uint64_t min_size, double pen,
                       const detect::PeltTables& own) {
    const auto& bound = call.cost.split_bound;
    if (!bound || !bound->is_zero() || call.n() == 0) return;
    detect::PeltTables held;
    const bool served = normal_family_run(call, jump, min_size, pen, true, held) ||
                        cost::visit_model(call.cost.inner(), [&](const auto& model) {
        if constexpr (cost::kHasPruningFamily<std::decay_t<decltype(model)>>) {
            return detect::functional_pelt(model, call.n(), jump, at_least_one(min_size), pen, held, nullptr,
                                           nullptr, true);
        } else {
            return false;
        }
    });
    if (served) check_same_tables(held, own);
}

// The penalised optimum on every model, any min_size: a valid list, and on
// ordinary signals of models with finite costs the unpruned optimum.
void check_optimum(Call& call, std::uint64_t jump, std::uint64_t min_size, double pen) {
    const CheckedCost& cost = call.cost;
    const std::size_t n = call.n();
    detect::PeltTables direct;
    const auto bkps = detect::penalised_optimum(cost, n, jump, min_size, pen, cost.split_bound, {.tables = &direct});
    if (n == 0) FUZZ_CHECK(bkps.empty());
    check_breakpoints(bkps, {n, jump, at_least_one(min_size)});
    // The bare model (which the wrapper hides) may take its totals from flat
    // arrays, or from PELT's functional pruning: the same tables, to the bit,
    // except where a pruning family recorded an estimate (never at n).
    detect::PeltTables flat;
    FUZZ_CHECK(detect::penalised_optimum(cost.inner(), n, jump, min_size, pen, cost.split_bound,
                                         {.tables = &flat}) == bkps);
    check_same_tables(flat, direct);
    check_held_engine(call, jump, min_size, pen, direct);
    if (!cost.scale || n == 0 || n > 60 || !(pen >= 0.0 && pen <= 1e6)) return;
    const SegmentCost segment = model_cost(cost);
    const double best = best_penalised(segment, n, jump, pen, at_least_one(min_size));
    const double found = penalised_cost(segment, bkps, pen);
    // Costs of -inf or NaN (a zero variance, a sample without direction)
    // leave no minimum to compare with.
    if (!std::isfinite(best) || !std::isfinite(found)) return;
    FUZZ_CHECK(agree(found, best, *cost.scale + std::fabs(best), n));
}

void fuzz_pelt(Call& call) {
    const CheckedCost& cost = call.cost;
    FuzzInput& in = call.in;
    const std::size_t n = call.n();
    const double pen = in.real();
    const std::uint64_t jump = call.jump(), min_size = in.size_arg();
    if (jump == 0) return;
    const std::vector<std::size_t> bkps = detect::pelt(cost, n, jump, min_size, pen);
    check_pelt_paths(call, jump, min_size, pen);
    if (n == 0) FUZZ_CHECK(bkps.empty());
    check_breakpoints(bkps, {n, jump, at_least_one(min_size)});
    // Pruning is exact for pen >= 0 when every segment may hold one sample; a
    // longer minimum lets a pruned start win an end its rival cannot reach yet.
    if (checks_optimum(call) && min_size <= 1 && pen >= 0.0 && pen <= 1e6) {
        const SegmentCost segment = model_cost(cost);
        FUZZ_CHECK(agree(penalised_cost(segment, bkps, pen), best_penalised(segment, n, jump, pen),
                         *cost.scale, n));
    }
    check_optimum(call, jump, min_size, pen);
}

// A count has a segmentation exactly when sanity_check admits it: reach in
// the tables never depends on the costs, NaN and infinities included.
// `best` (possibly empty) holds the reference optimum per count.
void check_dynp_count(const Call& call, const detect::DynpTables& tables, std::size_t count,
                      std::size_t jump, std::size_t min_size, const std::vector<double>& best) {
    const std::size_t n = tables.n_samples;
    const auto found = tables.backtrack(count);
    const bool feasible = count <= tables.n_bkps && detect::sanity_check(n, count, jump, min_size);
    FUZZ_CHECK(found.has_value() == (count == 0 || feasible));
    if (!found) return;
    FUZZ_CHECK(found->size() == count + 1);
    check_breakpoints(*found, {n, jump, min_size});
    // Count 0 is [n] even when n is below min_size, which the reference skips.
    if (count >= 1 && count < best.size()) {
        FUZZ_CHECK(agree(call.cost.sum_of_costs(*found), best[count], *call.cost.scale, n));
    }
}

// A pool of one worker, on which items run one after the other.
parallel::WorkerPool& one_worker() {
    static parallel::WorkerPool pool(1);
    return pool;
}

// The dynamic programming's pruned fill on the bare l2 model against the
// plain fill: the same parents in every layer.
void check_dynp_paths(const Call& call, std::uint64_t n_bkps, std::uint64_t jump, std::uint64_t min_size) {
    if (!call.kind.is("l2")) return;
    const cost::Cost& model = call.cost.inner();
    const auto plain = detect::dynp_tables(model, call.n(), n_bkps, jump, min_size, one_worker(),
                                           {.functional_pruning = false});
    const auto pruned = detect::dynp_tables(model, call.n(), n_bkps, jump, min_size, one_worker());
    FUZZ_CHECK(static_cast<bool>(plain) == static_cast<bool>(pruned));
    if (plain) FUZZ_CHECK(plain->parents == pruned->parents);
}

void fuzz_dynp(Call& call, bool all) {
    const CheckedCost& cost = call.cost;
    FuzzInput& in = call.in;
    const std::size_t n = call.n();
    const std::uint64_t n_bkps = in.size_arg(), jump = call.jump(), min_size = in.size_arg();
    if (jump == 0) return;
    const auto tables = detect::dynp_tables(cost, n, n_bkps, jump, min_size);
    check_dynp_paths(call, n_bkps, jump, min_size);
    // The 32-bit parent entries limit the signal, and only then is there an error.
    FUZZ_CHECK(static_cast<bool>(tables) == (n_bkps == 0 || n <= 0xFFFFFFFFu));
    if (!tables) return;
    FUZZ_CHECK(tables->parents.size() <= n_bkps);
    // Items write only their own slots: one worker fills the same tables.
    const auto alone = detect::dynp_tables(cost, n, n_bkps, jump, min_size, one_worker());
    FUZZ_CHECK(alone->parents == tables->parents);
    const std::size_t m = at_least_one(min_size);
    // One count past the stored layers must be infeasible as well.
    const std::size_t last = std::min<std::uint64_t>(n_bkps, tables->parents.size() + 1);
    const std::vector<double> best =
        checks_optimum(call) ? best_by_count(model_cost(cost), n, jump, m, last) : std::vector<double>{};
    if (!all) {
        check_dynp_count(call, *tables, n_bkps, jump, m, best);
        return;
    }
    for (std::size_t c = 0; c <= last; ++c) check_dynp_count(call, *tables, c, jump, m, best);
}

void fuzz_greedy(Call& call, SearchKind kind) {
    const CheckedCost& cost = call.cost;
    FuzzInput& in = call.in;
    const std::size_t n = call.n();
    const std::uint64_t jump = call.jump(), min_size = in.size_arg();
    const detect::StopRule rule = read_rule(in);
    if (jump == 0) return;
    const auto search = kind == SearchKind::binseg ? detect::binseg : detect::bottomup;
    const std::vector<std::size_t> bkps = search(cost, n, jump, min_size, rule, nullptr);
    if (n == 0) {
        FUZZ_CHECK(bkps == std::vector<std::size_t>{0});
        return;
    }
    check_breakpoints(bkps, {n, jump, at_least_one(min_size)});
    check_rule_count(bkps, rule);
}

// Centres the caller made up, out of range and repeated ones included (the
// module refuses those through check_window_centres).
void read_centres(FuzzInput& in, std::size_t n, std::vector<std::size_t>& inds,
                  std::vector<double>& score) {
    inds.resize(in.below_or(12));
    for (std::size_t& c : inds) c = n < 2 ? 1 : 1 + in.below_or(n - 2);
    score = in.reals(in.below_or(inds.size()));
}

void fuzz_window(Call& call) {
    const CheckedCost& cost = call.cost;
    FuzzInput& in = call.in;
    const std::size_t n = call.n();
    const std::uint64_t width = in.size_arg(), jump = call.jump();
    if (jump == 0 || !detect::check_window_width(width)) return;
    detect::WindowScores fit = detect::window_fit(cost, n, width, jump);
    FUZZ_CHECK(fit.inds.size() == fit.score.size());
    for (std::size_t c : fit.inds) FUZZ_CHECK(c % jump == 0 && c >= width / 2 && c + width / 2 < n);
    const bool own_centres = !in.flag();
    if (!own_centres) read_centres(in, n, fit.inds, fit.score);
    if (in.flag()) fit.score = in.reals(fit.score.size());
    const std::uint64_t p_width = in.flag() ? width : in.size_arg();
    const std::uint64_t p_jump = in.flag() ? jump : call.jump();
    const std::uint64_t min_size = in.size_arg();
    const detect::StopRule rule = read_rule(in);
    if (p_jump == 0 || !detect::check_window_centres(n, fit.inds, fit.score)) return;
    const std::vector<std::size_t> bkps =
        detect::window_seg(cost, n, fit.inds, fit.score, p_width, p_jump, min_size, rule);
    check_rule_count(bkps, rule);
    FUZZ_CHECK(!bkps.empty() && bkps.back() == n);
    for (std::size_t k = 0; k + 1 < bkps.size(); ++k) {
        FUZZ_CHECK(std::find(fit.inds.begin(), fit.inds.end(), bkps[k]) != fit.inds.end());
    }
    // Accepted centres are distinct, so the breakpoints are too; fitted ones
    // are on the fit's grid. Peaks promise no segment length.
    check_breakpoints(bkps, {n, own_centres ? static_cast<std::size_t>(jump) : 1, 0, false});
}

void fuzz_kernel_pelt(Call& call) {
    const CheckedCost& cost = call.cost;
    FuzzInput& in = call.in;
    const std::size_t n = call.n();
    const std::uint64_t min_size = in.size_arg();
    const double pen = in.real();
    const cost::KernelBlocks* blocks = cost.as_kernel_blocks();
    if (blocks == nullptr || min_size == 0) return;
    const std::vector<std::size_t> bkps = detect::kernel_pelt(*blocks, n, min_size, pen);
    if (n == 0) FUZZ_CHECK(bkps.empty());
    check_breakpoints(bkps, {n, 1, min_size});
    // On the linear kernel the pruning is exact under the same conditions as PELT's.
    if (checks_optimum(call) && call.kind.is("l2", true) && min_size == 1 &&
        pen >= 0.0 && pen <= 1e6) {
        const SegmentCost segment = [blocks](std::size_t start, std::size_t end) {
            return blocks->diag_sum(start, end) -
                   blocks->block_sum(start, end) / static_cast<double>(end - start);
        };
        FUZZ_CHECK(agree(penalised_cost(segment, bkps, pen), best_penalised(segment, n, 1, pen),
                         *cost.scale, n));
    }
}

void fuzz_crops(Call& call) {
    const CheckedCost& cost = call.cost;
    FuzzInput& in = call.in;
    const std::size_t n = call.n();
    const double pen_min = in.real(), pen_max = in.real();
    const std::uint64_t jump = call.jump(), min_size = in.size_arg();
    if (jump == 0) return;
    // The optimum's path too: the same invariants, on every model.
    for (const bool optimum : {false, true}) {
        const std::vector<crops::Row> rows = crops::crops(
            cost, n, pen_min, pen_max, jump, min_size, {.optimum = optimum, .split_bound = cost.split_bound});
        FUZZ_CHECK(!rows.empty());
        for (std::size_t k = 0; k < rows.size(); ++k) {
            if (k > 0) FUZZ_CHECK(rows[k - 1].bkps.size() < rows[k].bkps.size());
            check_breakpoints(rows[k].bkps, {n, jump, at_least_one(min_size)});
        }
    }
}

// The 64-bit admissibility test against the same formula in 128 bits, where
// only the product n_bkps * q * jump can still overflow (and then cannot fit).
void fuzz_sanity_check(FuzzInput& in) {
    const std::uint64_t n = in.size_arg(), k = in.size_arg(), jump = in.size_arg(),
                        min_size = in.size_arg();
    bool expected = false;
    if (jump != 0 && k <= n / jump) {
        const u128 q = min_size / jump + (min_size % jump != 0 ? 1 : 0);
        if (const std::optional<u128> need = checked_mul(u128{k} * q, u128{jump})) {
            expected = *need + min_size <= n;
        }
    }
    FUZZ_CHECK(detect::sanity_check(n, k, jump, min_size) == expected);
}

// The reach-ball proofs of geometric pruning on balls through or around a
// point p, in the range the families give (magnitudes below 2^900): balls
// that all hold p (judged in long double) are never proven apart, the ball
// said to hold their intersection holds p, and covers none of which holds p
// strictly are never proven to hold the balls' common part together.
void fuzz_ball_proofs(FuzzInput& in) {
    const std::size_t d = 2 + in.byte() % 7, count = 2 + in.byte() % 7;
    const auto fits = [](double v) { return std::fabs(v) < cost::kEnvelopeLargest; };
    const auto distance2 = [d](const std::array<double, cost::kMaxBallDims>& a,
                               const std::array<double, cost::kMaxBallDims>& b) {
        long double sum = 0.0L;
        for (std::size_t j = 0; j < d; ++j) sum += (static_cast<long double>(a[j]) - b[j]) * (static_cast<long double>(a[j]) - b[j]);
        return sum;
    };
    std::array<double, cost::kMaxBallDims> p{};
    for (std::size_t j = 0; j < d; ++j) p[j] = in.real();
    std::vector<detect::Ball> balls(count);
    bool common = true;
    for (detect::Ball& b : balls) {
        for (std::size_t j = 0; j < d; ++j) b.centre[j] = p[j] + in.real();
        const double through = std::sqrt(static_cast<double>(distance2(p, b.centre)));
        b.radius = in.flag() ? in.real() : through * (1.0 + in.real() * 0x1p-40);
        for (std::size_t j = 0; j < d; ++j) {
            if (!fits(p[j]) || !fits(b.centre[j])) return;
        }
        if (!(b.radius >= 0.0 && fits(b.radius))) return;
        common = common && distance2(p, b.centre) <= static_cast<long double>(b.radius) * b.radius;
    }
    std::vector<double> weight(count, 0.0);
    detect::Ball enclosing{{}, -1.0};
    for (int round = 0; round < 2; ++round) {
        const bool apart = detect::seek_apart(balls.data(), weight.data(), count, d, in.byte() % 32, enclosing);
        if (!common) continue;
        FUZZ_CHECK(!apart);
        FUZZ_CHECK(distance2(p, enclosing.centre) <= static_cast<long double>(enclosing.radius) * enclosing.radius);
    }
    // Covers through or around p that do not hold it strictly: the union
    // test never proves the balls' common point p inside them.
    if (!common) return;
    const std::size_t n_covers = 1 + in.byte() % 24;
    std::vector<detect::Ball> covers(n_covers);
    for (detect::Ball& c : covers) {
        for (std::size_t j = 0; j < d; ++j) c.centre[j] = p[j] + in.real();
        const double through = std::sqrt(static_cast<double>(distance2(p, c.centre)));
        c.radius = in.flag() ? in.real() : through * (1.0 - in.real() * 0x1p-40);
        for (std::size_t j = 0; j < d; ++j) {
            if (!fits(c.centre[j])) return;
        }
        if (!(c.radius >= 0.0 && fits(c.radius))) return;
        if (distance2(p, c.centre) < static_cast<long double>(c.radius) * c.radius) return;
    }
    std::vector<double> cover_weight(n_covers, 0.0);
    FUZZ_CHECK(!detect::seek_covered(balls.data(), weight.data(), count, covers.data(), cover_weight.data(),
                                     n_covers, d, in.byte() % 32));
}

}  // namespace
}  // namespace marbolt::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace marbolt::fuzz;
    FuzzInput in(data, size);
    const auto search = static_cast<SearchKind>(in.byte() % static_cast<unsigned>(SearchKind::count));
    if (search == SearchKind::sanity_check) {
        fuzz_sanity_check(in);
        fuzz_ball_proofs(in);
        return 0;
    }
    // A quarter of the inputs use a very long signal without columns.
    const bool wide = in.byte() < 64;
    ModelKind kind;
    const auto cost = wide ? read_wide_model(in, kind) : read_model(in, max_rows(search), kind);
    if (!cost) return 0;
    Call call{*cost, in, kind, wide ? cost->n_samples() / 64 + 1 : 1};
    switch (search) {
        case SearchKind::pelt: fuzz_pelt(call); break;
        case SearchKind::dynp: fuzz_dynp(call, false); break;
        case SearchKind::dynp_all: fuzz_dynp(call, true); break;
        case SearchKind::binseg:
        case SearchKind::bottomup: fuzz_greedy(call, search); break;
        case SearchKind::window: fuzz_window(call); break;
        // Kernel PELT keeps O(n) tables: not for the very long signals.
        case SearchKind::kernel_pelt:
            if (!wide) fuzz_kernel_pelt(call);
            break;
        case SearchKind::crops: fuzz_crops(call); break;
        case SearchKind::sanity_check:
        case SearchKind::count: break;
    }
    return 0;
}
