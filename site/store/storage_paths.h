#pragma once
#include <string>

namespace site {

// The files a host run is given.
struct StoragePaths {
    std::string db;
    std::string events;  // empty: no event file
    std::string site;
    std::string plugin;
};

// Why the host must not start with these paths, as one line naming the file, or empty when it
// may: the event file or the database is the same file as another path given (directly, by
// another spelling or through a link), the event file is a SQLite database, or the database
// path holds a file that is not a SQLite database (see write_refusal). Nothing is changed.
std::string storage_refusal(const StoragePaths& paths);

// Whether two paths name one file; for paths that do not exist yet, whether they would.
bool same_file(const std::string& a, const std::string& b);

}  // namespace site
