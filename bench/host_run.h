#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "site/host/events.h"
#include "site/config/site_config.h"
#include "site/run/site_host.h"

namespace bench {

// Command-line options of the host benchmarks.
struct HostBenchArgs {
    std::string plugin = KTR40E_PLUGIN_PATH;
    std::vector<std::string> rest;  // everything else, in order
};
HostBenchArgs read_host_args(int argc, char** argv);

// A folder for the host's history database; removed with everything in it.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A site of one power system per port (data ids 100, 200, ...).
site::SiteConfig site_on(const std::vector<std::string>& ports, double pollInterval, double minRoundGap);

// The host program's options: the plug-in, a database in `folder`, `observer` seeing every
// event; round summaries are dropped, warnings go to standard error.
site::SiteOptions host_options(const std::string& plugin, const ScratchFolder& folder,
                               std::shared_ptr<site::Observer> observer, std::uint64_t rounds);

}  // namespace bench
