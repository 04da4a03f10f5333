#pragma once
#include <exception>
#include <optional>
#include <string>

namespace sim {

// The number a command-line option's text holds in [low, high], or nothing when the text is
// not wholly such a number.
inline std::optional<double> number_in(const std::string& text, double low, double high) {
    std::size_t used = 0;
    double value = 0;
    try {
        value = std::stod(text, &used);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (text.empty() || used != text.size() || value < low || value > high) return std::nullopt;
    return value;
}

}  // namespace sim
