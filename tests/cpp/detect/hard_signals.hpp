// One-column signals that make exact searches hard to get bit-identical: exact
// and near ties, constant runs, quantised values, huge offsets and extreme
// scales, NaN and infinities; with penalties from zero to huge, some of them
// set exactly on the gain of a split.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "cost/cost.hpp"

namespace marbolt::testing {

struct HardSignal {
    std::vector<double> x;
    double scale = 1.0;  // the factor applied to a unit-noise signal
    std::string story;   // how it was made, for failure messages
};

// Signals of at most `longest` samples: most short, some long.
inline HardSignal hard_signal(std::mt19937_64& gen, std::size_t longest = 2500) {
    std::uniform_int_distribution<int> pick(0, 99);
    const int size_kind = pick(gen);
    const std::size_t n = std::min(longest, size_kind < 70   ? 1 + gen() % 120
                                            : size_kind < 95 ? 120 + gen() % 480
                                                             : 600 + gen() % 1900);
    const int family = static_cast<int>(gen() % 6);
    const std::size_t changes = std::vector<std::size_t>{0, 1, 3, n / 5 + 1}[gen() % 4];
    std::normal_distribution<double> noise(0.0, 1.0);
    std::uniform_int_distribution<int> level(-3, 3);
    std::vector<double> x(n);
    double mean = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (changes > 0 && gen() % (n / changes + 1) == 0) mean = family == 0 ? 3.0 * noise(gen) : level(gen);
        switch (family) {
            case 0: x[i] = mean + (1.0 + std::fabs(mean)) * noise(gen); break;  // Gaussian steps in mean and spread
            case 1: x[i] = mean + static_cast<double>(gen() % 3); break;    // small integers: exact ties
            case 2: x[i] = std::round((mean + noise(gen)) * 4.0) / 4.0; break;  // quantised
            case 3: x[i] = mean; break;                                       // constant runs
            case 4: x[i] = static_cast<double>(i % 2); break;                 // alternating: equal splits
            default: x[i] = static_cast<double>(std::min(i, n - 1 - i) % 5); break;  // palindrome
        }
    }
    HardSignal s{std::move(x), 1.0, {}};
    std::ostringstream story;
    story << "n " << n << " family " << family << " changes " << changes;
    const int transform = pick(gen);
    if (transform < 10) {
        const double offset = transform < 5 ? 1e6 : 1e12;
        for (double& v : s.x) v += offset;
        story << " offset " << offset;
    } else if (transform < 20) {
        s.scale = transform < 15 ? 1e-150 : 1e150;
        for (double& v : s.x) v *= s.scale;
        story << " scale " << s.scale;
    } else if (transform < 26 && n > 0) {
        const double bad = transform < 23 ? std::numeric_limits<double>::quiet_NaN()
                                          : std::numeric_limits<double>::infinity();
        s.x[gen() % n] = bad;
        story << " with " << bad;
    }
    s.story = story.str();
    return s;
}

// A signal of n rows and d columns with long segments, where regions in
// the space of means close in: each column Gaussian, small integers (exact
// ties), quantised or constant, the changes shared by every column; then an
// offset, an extreme scale, or a NaN or an infinity, as for one column.
inline HardSignal hard_columns(std::mt19937_64& gen, std::size_t d, std::size_t n) {
    std::normal_distribution<double> noise(0.0, 1.0);
    const std::size_t changes = gen() % 5;
    std::vector<int> kind(d);
    for (int& k : kind) k = static_cast<int>(gen() % 4);
    std::vector<double> mean(d, 0.0);
    HardSignal s{std::vector<double>(n * d), 1.0, {}};
    for (std::size_t i = 0; i < n; ++i) {
        if (changes > 0 && gen() % (n / changes + 1) == 0) {
            for (double& m : mean) m = std::round(4.0 * noise(gen));
        }
        for (std::size_t j = 0; j < d; ++j) {
            double& v = s.x[i * d + j];
            switch (kind[j]) {
                case 0: v = mean[j] + noise(gen); break;
                case 1: v = mean[j] + static_cast<double>(gen() % 3); break;
                case 2: v = std::round((mean[j] + noise(gen)) * 4.0) / 4.0; break;
                default: v = mean[j]; break;
            }
        }
    }
    std::ostringstream story;
    story << "n " << n << " d " << d << " changes " << changes << " kinds";
    for (int k : kind) story << ' ' << k;
    const int transform = static_cast<int>(gen() % 10);
    if (transform < 2) {
        const double offset = transform == 0 ? 1e6 : 1e12;
        for (double& v : s.x) v += offset;
        story << " offset " << offset;
    } else if (transform < 4) {
        s.scale = transform == 2 ? 1e-150 : 1e150;
        for (double& v : s.x) v *= s.scale;
        story << " scale " << s.scale;
    } else if (transform == 4) {
        s.x[gen() % s.x.size()] =
            gen() % 2 == 0 ? std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::infinity();
        story << " with a NaN or an infinity";
    }
    s.story = story.str();
    return s;
}

// A penalty for the signal: zero, tiny, ordinary, huge, infinite, negative or
// NaN, or exactly the gain of splitting [0, n) at a random point under the
// model (a near tie); n is the model's number of samples.
inline double hard_penalty(std::mt19937_64& gen, const HardSignal& s, const cost::Cost& model, std::size_t n) {
    const double unit = s.scale * s.scale;
    switch (gen() % 12) {
        case 0: return 0.0;
        case 1: return 1e-12 * unit;
        case 2: return 0.5 * unit;
        case 3: return 2.0 * std::log(static_cast<double>(n) + 1.0) * unit;
        case 4: return 10.0 * unit;
        case 5: return 1e6 * unit;
        case 6: return 1e300;
        case 7: return std::numeric_limits<double>::infinity();
        case 8: return -1.0 * unit;
        case 9: return std::numeric_limits<double>::quiet_NaN();
        default: {
            if (n < 2) return unit;
            const std::size_t k = 1 + gen() % (n - 1);
            return model.error(0, n) - (model.error(0, k) + model.error(k, n));
        }
    }
}

}  // namespace marbolt::testing
