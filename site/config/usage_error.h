#pragma once
#include <stdexcept>

namespace site {

// A mistake in what the user gave (the command line or the site file), found before anything
// ran: the programs exit 2 with its message, as for a wrong option.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace site
