#pragma once
#include <string>

#include "cmdline/command_line.h"

namespace app {

// What `sitehost discover` was asked.
struct DiscoverOptions {
    std::string port;
    int baud = 9600;
    std::string parity = "none";
    int stopBits = 1;
    std::string addresses = "1-254";
    int protocolVersion = 0;  // 32 or 33: that version alone; 0: 0x20, then 0x21
    long answerTimeMs = 0;    // 0: from the baud rate
    bool check = false;
    std::string site;
};

// Adds the `discover` command and its options to the command line.
CLI::App* add_discover_command(CLI::App& cli, DiscoverOptions& options);

// `sitehost discover --port PORT ...`: asks the addresses of a line, prints the site file of the
// power systems found on standard output and a table of what answered on standard error.
// With --check --site FILE: asks each system of the site file and says what differs. 0 when a
// power system was found (with --check: when every one agrees), else 1. `stopFd` becoming
// readable (SIGINT, SIGTERM) stops it; what was found by then is still printed.
int run_discover(const DiscoverOptions& options, int stopFd);

}  // namespace app
