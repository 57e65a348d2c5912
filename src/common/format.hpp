// Numbers in messages, written as Python writes them, so that a value the
// core refuses reads the same as in the interpreter: 2.5, -1.0, 1e+20, nan.
#pragma once

#include <charconv>
#include <cmath>
#include <string>

namespace marbolt {

inline std::string python_float(double value) {
    if (std::isnan(value)) return "nan";  // whatever its sign bit
    char text[32];
    const auto [end, error] = std::to_chars(text, text + sizeof text, value);
    std::string out(text, end);
    // The shortest form of a whole number has no point; Python's repr adds ".0".
    if (out.find_first_of(".ein") == std::string::npos) out += ".0";
    return out;
}

}  // namespace marbolt
