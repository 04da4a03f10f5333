#pragma once
#include <string>
#include <vector>

// The history database as a file: what the host may open, the writer's lock, and noticing
// that the file was deleted or replaced under a running host.
namespace site {

// Why the host must not open `path` as its database for writing, or empty when it may: an
// existing file that is not a regular file, not empty and not a SQLite database, or a SQLite
// database of another program (another application id, or other tables). Such a file is
// never moved aside or written.
std::string write_refusal(const std::string& path);
// Whether the file starts with the 16-byte SQLite header.
bool starts_with_sqlite_header(const std::string& path);

// Moves an unreadable database and its journal files aside, to PATH.unreadable-<time>; a
// stale WAL must not meet a new database. Where it went.
std::string move_aside(const std::string& path);

// The journal files (PATH-wal, PATH-shm) of an open database, as they are now: after the
// database is closed, the ones still there are left over from it.
class JournalFiles {
public:
    explicit JournalFiles(const std::string& path);
    // Deletes those of them that are still the same files.
    void remove_left() const;

private:
    struct File {
        std::string path;
        unsigned long long device;
        unsigned long long inode;
    };
    std::vector<File> files_;
};

// The descriptor that holds the writer's lock on the database file for as long as it lives.
// flock() locks are apart from the POSIX locks SQLite takes on the same file, and are let go
// by the kernel when the process ends, however it ends.
class FileLock {
public:
    explicit FileLock(const std::string& path);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Empty while the path still names the locked file; else what became of it.
    std::string gone() const;

private:
    std::string path_;
    int fd_;
};

}  // namespace site
