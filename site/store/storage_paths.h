#pragma once
#include <string>
#include <vector>

namespace site {

// A file the run reads besides the site file and the plug-in (a simulator file, a TLS file),
// with what it is for the messages.
struct ReadPath {
    std::string title;
    std::string path;
};

// The files a host run is given.
struct StoragePaths {
    std::string db;
    std::string events;  // empty: no event file
    std::string site;
    std::string plugin;
    std::string metrics;  // empty: no metrics file
    std::vector<ReadPath> reads;
};

// Why the host must not start with these paths, as one line naming the file and the reason,
// or empty when it may. Every file the host writes (the database with its -wal and -shm
// files, the event file, the metrics file and its temporary) must be none of the other paths
// (by any spelling or link, a link whose target is missing included), must be a regular file
// or not exist yet (the event file may also be a FIFO), and when it exists must be a file of
// its own kind: a SQLite database (see write_refusal), JSON lines, or metrics this host wrote.
// Nothing is opened for writing or changed.
std::string storage_refusal(const StoragePaths& paths);

// Whether two paths name one file; for paths that do not exist yet, whether they would.
bool same_file(const std::string& a, const std::string& b);

}  // namespace site
