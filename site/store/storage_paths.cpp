#include "site/store/storage_paths.h"

#include <filesystem>
#include <system_error>
#include <utility>

#include "site/store/database_file.h"

namespace site {
namespace {

std::filesystem::path full_path(const std::string& path) {
    std::error_code error;
    std::filesystem::path full = std::filesystem::weakly_canonical(std::filesystem::absolute(path, error), error);
    return error ? std::filesystem::path(path).lexically_normal() : full;
}

}  // namespace

bool same_file(const std::string& a, const std::string& b) {
    if (a.empty() || b.empty()) return false;
    std::error_code error;
    const bool equivalent = std::filesystem::equivalent(a, b, error);
    if (!error) return equivalent;
    return full_path(a) == full_path(b);
}

std::string storage_refusal(const StoragePaths& paths) {
    const std::pair<const char*, const std::string*> others[] = {
        {"the history database", &paths.db}, {"the site file", &paths.site}, {"the plug-in", &paths.plugin}};
    if (!paths.events.empty()) {
        for (const auto& [title, other] : others) {
            if (same_file(paths.events, *other))
                return "--events " + paths.events + ": the same file as " + title + " (" + *other +
                       "); refusing to write events into it";
        }
        if (starts_with_sqlite_header(paths.events))
            return "--events " + paths.events + ": a SQLite database; refusing to write events into it";
    }
    for (const auto& [title, other] : others) {
        if (other != &paths.db && same_file(paths.db, *other))
            return "history database " + paths.db + ": the same file as " + title + " (" + *other +
                   "); refusing to use it";
    }
    return write_refusal(paths.db);
}

}  // namespace site
