// Turns a fuzzer's byte string into the arguments of one call: counts, sizes,
// doubles and whole signals. Reading past the end yields zero bytes, so every
// input, however short, decodes to a complete call and the fuzzer's mutations
// stay meaningful (a changed byte changes one decision, not the framing).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

namespace marbolt::fuzz {

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), left_(size) {}

    std::uint8_t byte() {
        if (left_ == 0) return 0;
        --left_;
        return *data_++;
    }

    std::uint64_t word(std::size_t n_bytes) {
        std::uint64_t w = 0;
        for (std::size_t k = 0; k < n_bytes; ++k) w = (w << 8) | byte();
        return w;
    }

    bool flag() { return (byte() & 1) != 0; }

    // Uniform enough in [0, max]; max itself must stay small.
    std::size_t below_or(std::size_t max) { return static_cast<std::size_t>(word(2) % (max + 1)); }

    // A size argument (jump, min_size, n_bkps, width): mostly small, sometimes
    // at the edges where arithmetic on it could wrap.
    std::uint64_t size_arg() {
        constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
        const std::uint8_t kind = byte();
        switch (kind % 16) {
            case 0: return 0;
            case 1: return 1;
            case 2: return kMax;
            case 3: return kMax / 2 + 1;  // 2^63
            case 4: return std::uint64_t{1} << 32;
            case 5: return word(8);
            case 15: return static_cast<std::uint64_t>(kind / 16) * 20;
            default: return kind / 16;
        }
    }

    std::optional<std::uint64_t> optional_size() {
        if (flag()) return size_arg();
        return std::nullopt;
    }

    // A double from a palette of the values that break arithmetic (NaN,
    // infinities, the largest and smallest magnitudes, both zeros, repeats),
    // plus ordinary numbers and raw bit patterns.
    double real() {
        const std::uint8_t kind = byte();
        double v = 0.0;
        switch (kind) {
            case 0: v = std::numeric_limits<double>::quiet_NaN(); break;
            case 1: v = std::numeric_limits<double>::infinity(); break;
            case 2: v = -std::numeric_limits<double>::infinity(); break;
            case 3: v = 1e308; break;
            case 4: v = -1e308; break;
            case 5: v = std::numeric_limits<double>::denorm_min(); break;
            case 6: v = -std::numeric_limits<double>::denorm_min(); break;
            case 7: v = 0.0; break;
            case 8: v = -0.0; break;
            case 9: v = std::numeric_limits<double>::max(); break;
            case 10: v = std::numeric_limits<double>::min(); break;
            case 11: v = 1e-300; break;
            case 12: v = std::bit_cast<double>(word(8)); break;
            default:
                if (kind < 96) {
                    v = last_;  // repeats: ties, zero variance, singular covariances
                } else if (kind < 160) {
                    v = static_cast<double>(static_cast<std::int16_t>(word(2))) / 64.0;
                } else {
                    v = static_cast<double>(static_cast<int>(kind) - 208) / 4.0;
                }
        }
        last_ = v;
        return v;
    }

    std::optional<double> optional_real() {
        if (flag()) return real();
        return std::nullopt;
    }

    std::vector<double> reals(std::size_t count) {
        std::vector<double> v(count);
        for (double& x : v) x = real();
        return v;
    }

    std::size_t remaining() const noexcept { return left_; }

private:
    const std::uint8_t* data_;
    std::size_t left_;
    double last_ = 0.0;
};

}  // namespace marbolt::fuzz
