#include "site/store/storage_paths.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <system_error>

#include "site/store/database_file.h"

namespace site {
namespace {

namespace fs = std::filesystem;

constexpr int kLinkHops = 40;  // as the kernel's own limit on links in one lookup

// The absolute path with every link followed, a link whose target does not exist yet too
// (writing through it would create that target), and "." and ".." taken out.
fs::path resolved(const std::string& path) {
    std::error_code error;
    fs::path full = fs::absolute(path, error);
    if (error) return fs::path(path).lexically_normal();
    for (int hop = 0; hop < kLinkHops && fs::is_symlink(fs::symlink_status(full, error)); ++hop) {
        const fs::path target = fs::read_symlink(full, error);
        if (error) break;
        full = target.is_absolute() ? target : full.parent_path() / target;
    }
    const fs::path canonical = fs::weakly_canonical(full, error);
    return error ? full.lexically_normal() : canonical;
}

enum class Kind { Database, Events, Metrics, Companion };

// One file the host writes: the title its messages use, and what it may be when it exists.
struct Output {
    std::string title;
    std::string as;  // as another path of the run
    std::string path;
    Kind kind;
};

std::vector<Output> outputs_of(const StoragePaths& paths) {
    std::vector<Output> outputs;
    if (!paths.events.empty()) outputs.push_back({"--events", "the event file", paths.events, Kind::Events});
    if (!paths.metrics.empty()) {
        outputs.push_back({"metrics file", "the metrics file", paths.metrics, Kind::Metrics});
        outputs.push_back({"metrics file", "the metrics file", paths.metrics + ".tmp", Kind::Companion});
    }
    const std::string database = "the history database";
    outputs.push_back({"history database", database, paths.db, Kind::Database});
    outputs.push_back({"history database", database, paths.db + "-wal", Kind::Companion});
    outputs.push_back({"history database", database, paths.db + "-shm", Kind::Companion});
    return outputs;
}

bool starts_with(const std::string& path, const std::string& text) {
    std::ifstream in(path, std::ios::binary);
    std::string head(text.size(), '\0');
    return in.read(head.data(), static_cast<std::streamsize>(head.size())) && head == text;
}

// Why an existing file may not be written as `output`, or empty.
std::string kind_refusal(const Output& output) {
    if (output.kind == Kind::Database) return write_refusal(output.path);
    struct stat info {};
    const bool companion = output.kind == Kind::Companion;
    // A temporary or journal is created and replaced by the host: not even a link may stand there.
    if ((companion ? ::lstat(output.path.c_str(), &info) : ::stat(output.path.c_str(), &info)) != 0) return {};
    const std::string named = output.title + " " + output.path + ": ";
    if (output.kind == Kind::Events && S_ISFIFO(info.st_mode)) return {};
    if (!S_ISREG(info.st_mode)) return named + "not a regular file; left untouched";
    if (info.st_size == 0 || companion) return {};
    if (output.kind == Kind::Events && starts_with_sqlite_header(output.path))
        return named + "a SQLite database; refusing to write events into it";
    if (output.kind == Kind::Events && !starts_with(output.path, "{"))
        return named + "exists and holds no event lines; left untouched (name a new file or an event file)";
    if (output.kind == Kind::Metrics && !starts_with(output.path, "# HELP ktr40e_"))
        return named + "exists and holds no metrics of this host; left untouched (name a new file)";
    return {};
}

// Why `output` may not be written because it is another path of the run, or empty.
std::string clash_refusal(const Output& output, const StoragePaths& paths, const std::vector<Output>& outputs) {
    std::vector<ReadPath> others = {{"the site file", paths.site}, {"the plug-in", paths.plugin}};
    others.insert(others.end(), paths.reads.begin(), paths.reads.end());
    for (const Output& other : outputs)
        if (other.as != output.as) others.push_back({other.as, other.path});
    for (const ReadPath& other : others) {
        if (same_file(output.path, other.path))
            return output.title + " " + output.path + ": the same file as " + other.title + " (" + other.path +
                   "); refusing to write it";
    }
    return {};
}

}  // namespace

bool same_file(const std::string& a, const std::string& b) {
    if (a.empty() || b.empty()) return false;
    std::error_code error;
    const bool equivalent = fs::equivalent(a, b, error);
    if (!error) return equivalent;
    return resolved(a) == resolved(b);
}

std::string storage_refusal(const StoragePaths& paths) {
    const std::vector<Output> outputs = outputs_of(paths);
    for (const Output& output : outputs) {
        std::string refusal = clash_refusal(output, paths, outputs);
        if (refusal.empty()) refusal = kind_refusal(output);
        if (!refusal.empty()) return refusal;
    }
    return {};
}

}  // namespace site
