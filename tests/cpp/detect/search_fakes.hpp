// Test-side costs for the searches: a fake whose segment cost is any function
// and which records (thread-safely) every segment it is asked for, a naive O(L)
// l2 cost, and brute-force optima over every segmentation of a small signal.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "common/numeric.hpp"
#include "cost/cost.hpp"

namespace marbolt::testing {

using Segment = std::pair<std::size_t, std::size_t>;
using SegmentCost = std::function<double(std::size_t, std::size_t)>;
using Bkps = std::vector<std::size_t>;

inline constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
// Positive quiet NaN, spelled out: std::nan("") leaves the sign to the library.
inline constexpr double kNan = std::bit_cast<double>(std::uint64_t{0x7ff8000000000000});

class FakeCost final : public cost::Cost {
public:
    FakeCost(std::size_t n, SegmentCost fn) : n_(n), fn_(std::move(fn)) {}

    std::size_t min_size() const noexcept override { return 1; }
    std::string_view model() const noexcept override { return "fake"; }
    double error(std::size_t start, std::size_t end) const override {
        {
            std::lock_guard lock(mutex_);
            calls_.emplace_back(start, end);
            if (!(start < end && end <= n_)) out_of_bounds_ = true;
        }
        return fn_(start, end);
    }

    std::vector<Segment> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    // True once any call broke 0 <= start < end <= n.
    bool out_of_bounds() const {
        std::lock_guard lock(mutex_);
        return out_of_bounds_;
    }

private:
    std::size_t n_;
    SegmentCost fn_;
    mutable std::mutex mutex_;
    mutable std::vector<Segment> calls_;
    mutable bool out_of_bounds_ = false;
};

// Hides a model's class from the searches' dispatch: the virtual path.
class Forwarding final : public cost::Cost {
public:
    explicit Forwarding(const cost::Cost& inner) : inner_(inner) {}
    std::size_t min_size() const noexcept override { return inner_.min_size(); }
    double error(std::size_t start, std::size_t end) const override { return inner_.error(start, end); }
    std::string_view model() const noexcept override { return inner_.model(); }

private:
    const cost::Cost& inner_;
};

inline std::vector<double> gaussian_signal(std::size_t n, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<double> x(n);
    for (double& v : x) v = noise(gen);
    return x;
}

// Sum of squared deviations from the segment mean, two plain passes.
inline SegmentCost naive_l2(std::vector<double> x) {
    return [x = std::move(x)](std::size_t start, std::size_t end) {
        double mean = 0.0;
        for (std::size_t i = start; i < end; ++i) mean += x[i];
        mean /= static_cast<double>(end - start);
        double sum = 0.0;
        for (std::size_t i = start; i < end; ++i) sum += (x[i] - mean) * (x[i] - mean);
        return sum;
    };
}

// Visits every breakpoint list on the jump grid whose segments all hold at
// least min_size samples, with its number of breakpoints and total cost.
inline void for_each_segmentation(const SegmentCost& cost, std::size_t n, std::size_t jump,
                                  std::size_t min_size,
                                  const std::function<void(std::size_t, double)>& visit) {
    std::vector<std::size_t> interior;
    for (std::size_t p = jump; p < n; p += jump) interior.push_back(p);
    for (std::size_t mask = 0; mask < (std::size_t{1} << interior.size()); ++mask) {
        std::size_t prev = 0, count = 0;
        double total = 0.0;
        bool ok = true;
        for (std::size_t i = 0; i <= interior.size() && ok; ++i) {
            const bool last = i == interior.size();
            if (!last && !(mask >> i & 1)) continue;
            const std::size_t b = last ? n : interior[i];
            ok = b - prev >= min_size;
            if (ok) total += cost(prev, b);
            prev = b;
            count += last ? 0 : 1;
        }
        if (ok) visit(count, total);
    }
}

// Smallest total cost for each count of breakpoints 0 .. max_count (absent
// where no segmentation exists).
inline std::vector<std::optional<double>> brute_force_by_count(const SegmentCost& cost, std::size_t n,
                                                               std::size_t jump, std::size_t min_size,
                                                               std::size_t max_count) {
    std::vector<std::optional<double>> best(max_count + 1);
    for_each_segmentation(cost, n, jump, min_size, [&](std::size_t count, double total) {
        if (count <= max_count && (!best[count] || total < *best[count])) best[count] = total;
    });
    return best;
}

// Smallest sum over segments of (cost + pen).
inline double brute_force_penalised(const SegmentCost& cost, std::size_t n, std::size_t jump,
                                    std::size_t min_size, double pen) {
    double best = kInf;
    for_each_segmentation(cost, n, jump, min_size, [&](std::size_t count, double total) {
        best = std::min(best, total + pen * static_cast<double>(count + 1));
    });
    return best;
}

}  // namespace marbolt::testing
