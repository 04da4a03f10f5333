#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Which addresses of a line to ask.
namespace discover {

// The addresses a power system may have on a line.
constexpr unsigned kFirstAddress = 1;
constexpr unsigned kLastAddress = 254;

// "1,3,5-8": addresses and ranges, in the order given, each address once. Throws
// std::invalid_argument saying what is wrong.
std::vector<std::uint8_t> parse_addresses(const std::string& text);

// The addresses in ascending order as numbers and ranges: "2, 4–254"; "none" when empty.
std::string addresses_text(std::vector<std::uint8_t> addresses);

}  // namespace discover
