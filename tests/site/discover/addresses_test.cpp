// Which addresses a scan asks, as the command line names them.
#include <gtest/gtest.h>

#include <stdexcept>

#include "site/discover/addresses.h"

namespace {

using discover::addresses_text;
using discover::parse_addresses;

TEST(Addresses, ListsAndRangesInTheOrderGivenEachOnce) {
    const struct {
        const char* text;
        std::vector<std::uint8_t> addresses;
    } cases[] = {
        {"7", {7}}, {"1,3", {1, 3}}, {"5-8", {5, 6, 7, 8}}, {"9,2-3,3,254", {9, 2, 3, 254}}, {"4-4", {4}},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_addresses(c.text), c.addresses) << c.text;
    EXPECT_EQ(parse_addresses("1-254").size(), 254u);
}

TEST(Addresses, AnythingElseIsRefused) {
    for (const char* text :
         {"", "0", "255", "1-255", "8-5", "1,", ",1", "1,,2", "a", "1-", "-3", "1-2-3", "+1", "0x10", "1000"})
        EXPECT_THROW(parse_addresses(text), std::invalid_argument) << text;
}

TEST(Addresses, AreWrittenAsSortedRanges) {
    EXPECT_EQ(addresses_text({}), "none");
    EXPECT_EQ(addresses_text({7}), "7");
    EXPECT_EQ(addresses_text({9, 1, 2, 3, 5}), "1\u20133, 5, 9");
    EXPECT_EQ(addresses_text(parse_addresses("2,4-254")), "2, 4\u2013254");
}

}  // namespace
