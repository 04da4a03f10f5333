#include "host_run.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "bench_site.h"

namespace bench {

HostBenchArgs read_host_args(int argc, char** argv) {
    HostBenchArgs args;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--plugin" && i + 1 < argc) {
            args.plugin = argv[++i];
        } else {
            args.rest.push_back(arg);
        }
    }
    return args;
}

ScratchFolder::ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ktr40e-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a scratch folder");
    path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

site::SiteConfig site_on(const std::vector<std::string>& ports, double pollInterval, double minRoundGap) {
    Json::Value root(Json::objectValue);
    Json::Value& systems = root["systems"] = Json::Value(Json::arrayValue);
    for (std::size_t i = 0; i < ports.size(); ++i)
        systems.append(site_system(static_cast<unsigned>(100 * (i + 1)), ports[i], pollInterval, minRoundGap));
    return site::parse_site(root, "");
}

site::SiteOptions host_options(const std::string& plugin, const ScratchFolder& folder,
                               std::shared_ptr<site::Observer> observer, std::uint64_t rounds) {
    site::SiteOptions options;
    options.pluginPath = plugin;
    options.dbPath = folder.path() + "/history.db";
    options.rounds = rounds;
    options.observer = std::move(observer);
    options.print = [](const std::string&) {};
    options.warn = [](const std::string& text) { std::fprintf(stderr, "host: %s\n", text.c_str()); };
    return options;
}

}  // namespace bench
