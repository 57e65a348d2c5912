#include "detect/pelt/functional.hpp"

#include <algorithm>

#include "cost/pruning_l1.hpp"
#include "cost/pruning_l2.hpp"
#include "cost/pruning_normal.hpp"
#include "detect/grid.hpp"
#include "detect/pelt/functional_estimates.hpp"
#include "detect/pelt/functional_list.hpp"
#include "detect/pelt/functional_search.hpp"
#include "detect/pelt/functional_steps.hpp"
#include "detect/pelt/functional_sweep.hpp"
#include "detect/pelt/functional_verdicts.hpp"
#include "detect/pelt/tables.hpp"

namespace marbolt::detect {

template <class Family>
bool functional_pelt_with(const Family& family, const typename Family::Model& model, std::size_t n, std::size_t jump,
                          std::size_t min_size, double pen, PeltTables& tables, std::size_t* evaluations,
                          Control* control, bool hold_marked) {
    // Every end but n on the grid past the first; a penalty the bounds cover.
    if (min_size == 0 || n <= jump || n < min_size || n >= kExactPositions) return false;
    if (!(pen > 0.0 && pen < cost::kEnvelopeLargest)) return false;
    tables = start_tables(grid_count(n, jump));
    return functional::FunctionalSearch(family, model, n, jump, min_size, pen, tables, evaluations, control,
                                        hold_marked)
        .run();
}

template <class Model>
bool functional_pelt(const Model& model, std::size_t n, std::size_t jump, std::size_t min_size, double pen,
                     PeltTables& tables, std::size_t* evaluations, Control* control, bool hold_marked) {
    return cost::with_pruning_family(model, n, [&](const auto& family) {
        return functional_pelt_with(family, model, n, jump, min_size, pen, tables, evaluations, control,
                                    hold_marked);
    });
}

template <class Model>
std::size_t plain_first_until() noexcept {
    return []<class... F>(cost::Families<F...>) {
        return std::max({std::size_t{0}, cost::kPlainUntil<F>...});
    }(typename cost::PruningFamilies<Model>::type{});
}

template std::size_t plain_first_until<cost::CostL2>() noexcept;
template std::size_t plain_first_until<cost::CostL1>() noexcept;
template std::size_t plain_first_until<cost::CostNormal>() noexcept;

template bool functional_pelt(const cost::CostL2&, std::size_t, std::size_t, std::size_t, double, PeltTables&,
                              std::size_t*, Control*, bool);
template bool functional_pelt(const cost::CostL1&, std::size_t, std::size_t, std::size_t, double, PeltTables&,
                              std::size_t*, Control*, bool);
template bool functional_pelt(const cost::CostNormal&, std::size_t, std::size_t, std::size_t, double, PeltTables&,
                              std::size_t*, Control*, bool);

template bool functional_pelt_with(const cost::NormalColumnFamily&, const cost::CostNormal&, std::size_t,
                                   std::size_t, std::size_t, double, PeltTables&, std::size_t*, Control*, bool);

}  // namespace marbolt::detect
