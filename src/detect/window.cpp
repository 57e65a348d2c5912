#include "detect/window.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "common/numeric.hpp"
#include "detect/grid.hpp"
#include "detect/ordf64.hpp"

namespace marbolt::detect {

namespace {

double window_score(const cost::Cost& cost, std::size_t c, std::size_t half) {
    const double whole = cost.error(c - half, c + half);
    if (whole == -kInf) return 0.0;
    const double left = cost.error(c - half, c);
    const double right = cost.error(c, c + half);
    return whole - (left + right);
}

bool is_peak(std::span<const double> score, std::size_t j, std::size_t reach) {
    // reach < L, so j - k and j + k wrap at most once around the list.
    const std::size_t L = score.size();
    for (std::size_t k = 1; k <= reach; ++k) {
        const std::size_t left = j >= k ? j - k : j + L - k;
        const std::size_t right = j + k < L ? j + k : j + k - L;
        if (!(score[j] > score[left] && score[j] > score[right])) return false;
    }
    return true;
}

std::vector<std::size_t> with_breakpoint(const std::vector<std::size_t>& bkps, std::size_t b) {
    std::vector<std::size_t> out = bkps;
    out.insert(std::upper_bound(out.begin(), out.end(), b), b);
    return out;
}

// The running total is computed only once a rule needs it: the n_bkps rule
// never reads it, and an empty peak list reads nothing at all.
class Selection {
public:
    Selection(const cost::Cost& cost, std::size_t n) : cost_(cost), bkps_{n} {}

    // Adds b when the rule allows it; false means the search stops.
    bool offer(std::size_t b, const StopRule& rule) {
        return rule.decide(
            [&](std::uint64_t n_bkps) {
                if (bkps_.size() - 1 >= n_bkps) return false;
                bkps_ = with_breakpoint(bkps_, b);
                return true;
            },
            [&](double pen) {
                const double current = total();
                std::vector<std::size_t> trial = with_breakpoint(bkps_, b);
                const double trial_total = cost_.sum_of_costs(trial);
                if (!(current - trial_total > pen)) return false;
                bkps_ = std::move(trial);
                total_ = trial_total;
                return true;
            },
            [&](double epsilon) {
                if (!(total() > epsilon)) return false;
                bkps_ = with_breakpoint(bkps_, b);
                total_ = cost_.sum_of_costs(bkps_);
                return true;
            });
    }

    std::vector<std::size_t> take() && { return std::move(bkps_); }
    std::size_t size() const noexcept { return bkps_.size(); }

private:
    double total() {
        if (!total_) total_ = cost_.sum_of_costs(bkps_);
        return *total_;
    }

    const cost::Cost& cost_;
    std::vector<std::size_t> bkps_;
    std::optional<double> total_;
};

}  // namespace

Status check_window_width(std::size_t width) {
    if (width < 2) return value_error("width must be at least 2");
    return Ok{};
}

Status check_window_centres(std::size_t n, std::span<const std::size_t> inds,
                            std::span<const double> score) {
    if (inds.size() < score.size()) {
        return value_error("inds has " + std::to_string(inds.size()) + " entries but score has " +
                           std::to_string(score.size()));
    }
    for (std::size_t c : inds) {
        if (c == 0 || c >= n) {
            return value_error("window centre " + std::to_string(c) +
                               " is not strictly between 0 and n_samples " + std::to_string(n));
        }
    }
    // A repeated centre would be offered twice: the second offer inserts a
    // breakpoint already in the list and so evaluates the empty segment
    // [c, c), outside every model's domain, and returns a duplicate.
    std::vector<std::size_t> sorted(inds.begin(), inds.end());
    std::sort(sorted.begin(), sorted.end());
    const auto repeat = std::adjacent_find(sorted.begin(), sorted.end());
    if (repeat != sorted.end()) {
        return value_error("window centre " + std::to_string(*repeat) + " is repeated");
    }
    return Ok{};
}

WindowScores window_fit(const cost::Cost& cost, std::size_t n, std::size_t width,
                        std::size_t jump, Control* control) {
    jump = std::max<std::size_t>(jump, 1);
    const std::size_t half = width / 2;
    WindowScores fit;
    if (half == 0 || half > n) return fit;
    // Grid index i covers centre i * jump; indices in [ceil(half / jump),
    // ceil(upper / jump)) give exactly the centres in [half, upper), and
    // i * jump < upper <= n never wraps.
    const std::size_t upper = n - half;
    const std::size_t first = grid_count(half, jump), last = grid_count(upper, jump);
    // Sized once: a result that cannot fit fails at once with bad_alloc instead
    // of growing until the machine runs out of memory.
    fit.inds.reserve(last > first ? last - first : 0);
    fit.score.reserve(fit.inds.capacity());
    if (control != nullptr) control->add_total(fit.inds.capacity());
    Ticker ticker(control);
    for (std::size_t i = first; i < last; ++i) {
        const std::size_t c = i * jump;
        fit.inds.push_back(c);
        fit.score.push_back(window_score(cost, c, half));
        ticker.tick(3, 1);
    }
    return fit;
}

std::size_t peak_reach(std::size_t width, std::size_t min_size, std::size_t jump) noexcept {
    const u128 span = std::max<u128>(width, u128{2} * min_size);
    const u128 order = span / (u128{2} * std::max<std::size_t>(jump, 1));
    // order <= (2^65 - 2) / 2 fits in 64 bits.
    return std::max<std::size_t>(static_cast<std::size_t>(order), 1);
}

std::vector<std::size_t> find_peaks(std::span<const double> score, std::size_t reach) {
    std::vector<std::size_t> peaks;
    if (reach >= score.size()) return peaks;
    for (std::size_t j = 0; j < score.size(); ++j) {
        if (is_peak(score, j, reach)) peaks.push_back(j);
    }
    return peaks;
}

std::vector<std::size_t> window_seg(const cost::Cost& cost, std::size_t n,
                                    std::span<const std::size_t> inds,
                                    std::span<const double> score, std::size_t width,
                                    std::size_t jump, std::size_t min_size, const StopRule& rule,
                                    Control* control) {
    std::vector<std::pair<Ordf64, std::size_t>> ranked;
    for (std::size_t j : find_peaks(score, peak_reach(width, min_size, jump))) {
        ranked.emplace_back(Ordf64{score[j]}, inds[j]);
    }
    std::sort(ranked.begin(), ranked.end());
    Selection selection(cost, n);
    Ticker ticker(control);
    for (auto it = ranked.rbegin(); it != ranked.rend(); ++it) {
        if (!selection.offer(it->second, rule)) break;
        // A penalty or epsilon rule costs the whole segmentation per offer.
        ticker.tick(selection.size());
    }
    return std::move(selection).take();
}

}  // namespace marbolt::detect
