#include "site/discover/addresses.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>

namespace discover {
namespace {

unsigned address_of(const std::string& text) {
    const bool digits = !text.empty() && text.size() <= 3 && text.find_first_not_of("0123456789") == std::string::npos;
    const unsigned address = digits ? static_cast<unsigned>(std::stoul(text)) : 0;
    if (address < kFirstAddress || address > kLastAddress)
        throw std::invalid_argument("\"" + text + "\" is not an address from " + std::to_string(kFirstAddress) +
                                    " to " + std::to_string(kLastAddress));
    return address;
}

}  // namespace

std::vector<std::uint8_t> parse_addresses(const std::string& text) {
    std::vector<std::uint8_t> addresses;
    std::istringstream items(text);
    for (std::string item; std::getline(items, item, ',');) {
        const auto dash = item.find('-');
        const unsigned first = address_of(item.substr(0, dash));
        const unsigned last = dash == std::string::npos ? first : address_of(item.substr(dash + 1));
        if (last < first) throw std::invalid_argument("the range " + item + " runs backwards");
        for (unsigned address = first; address <= last; ++address) {
            const auto byte = static_cast<std::uint8_t>(address);
            if (std::find(addresses.begin(), addresses.end(), byte) == addresses.end()) addresses.push_back(byte);
        }
    }
    if (addresses.empty() || text.back() == ',') throw std::invalid_argument("\"" + text + "\" names no address");
    return addresses;
}

std::string addresses_text(std::vector<std::uint8_t> addresses) {
    if (addresses.empty()) return "none";
    std::sort(addresses.begin(), addresses.end());
    std::string text;
    for (std::size_t i = 0; i < addresses.size();) {
        std::size_t end = i;
        while (end + 1 < addresses.size() && addresses[end + 1] == addresses[end] + 1) ++end;
        text += (text.empty() ? "" : ", ") + std::to_string(addresses[i]);
        if (end > i) text += "\u2013" + std::to_string(addresses[end]);
        i = end + 1;
    }
    return text;
}

}  // namespace discover
