#include "site/store/database_file.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "site/store/history_schema.h"
#include "site/host/time_text.h"

namespace site {
namespace {

constexpr char kSqliteHeader[] = "SQLite format 3";  // 16 bytes with its terminating zero

// What the database is to the host, read without a lock, a journal or any change to the file.
DatabaseLook look_at_file(const std::string& path) {
    sqlite3* db = nullptr;
    const std::string uri = "file:" + path + "?immutable=1";
    if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return {true, {}};  // unreadable: opening for writing moves it aside
    }
    DatabaseLook look{true, {}};
    try {
        look = look_at(db);
    } catch (const std::exception&) {
        // A damaged file is judged by the integrity check when it is opened.
    }
    sqlite3_close(db);
    return look;
}

}  // namespace

bool starts_with_sqlite_header(const std::string& path) {
    // Only a regular file is read: opening a FIFO would wait for its writer.
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    char head[sizeof kSqliteHeader] = {};
    std::ifstream in(path, std::ios::binary);
    return in.read(head, sizeof head) && std::memcmp(head, kSqliteHeader, sizeof head) == 0;
}

std::string write_refusal(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return {};  // not there yet: a new database
    if (!S_ISREG(info.st_mode)) return path + ": not a regular file, so not a history database";
    if (info.st_size == 0) return {};
    if (!starts_with_sqlite_header(path))
        return path + ": exists and is not a SQLite database; left untouched (name a new file or a sitehost database)";
    const DatabaseLook look = look_at_file(path);
    if (look.ours) return {};
    return path + ": " + look.why +
           ", not a sitehost history database; left untouched (name a new file or a sitehost database)";
}

std::string move_aside(const std::string& path) {
    const std::string aside = path + ".unreadable-" + file_time_text(now_ms());
    if (std::rename(path.c_str(), aside.c_str()) != 0)
        throw std::runtime_error(path + ": cannot be read and cannot be moved aside");
    for (const char* suffix : {"-wal", "-shm"}) std::rename((path + suffix).c_str(), (aside + suffix).c_str());
    return aside;
}

JournalFiles::JournalFiles(const std::string& path) {
    for (const char* suffix : {"-wal", "-shm"}) {
        struct stat info {};
        const std::string file = path + suffix;
        if (::stat(file.c_str(), &info) == 0) files_.push_back(File{file, info.st_dev, info.st_ino});
    }
}

void JournalFiles::remove_left() const {
    for (const File& file : files_) {
        struct stat info {};
        if (::stat(file.path.c_str(), &info) == 0 && info.st_dev == file.device && info.st_ino == file.inode)
            std::remove(file.path.c_str());
    }
}

FileLock::FileLock(const std::string& path)
    : path_(path), fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    if (fd_ < 0) throw std::runtime_error(path + ": cannot be opened: " + std::strerror(errno));
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return;
    const int error = errno;
    ::close(fd_);
    if (error == EWOULDBLOCK) throw std::runtime_error(path + ": in use by another sitehost (the database is locked)");
    throw std::runtime_error(path + ": cannot be locked: " + std::strerror(error));
}

FileLock::~FileLock() { ::close(fd_); }

std::string FileLock::gone() const {
    struct stat held {};
    struct stat named {};
    if (::fstat(fd_, &held) != 0) return "cannot be checked: " + std::string(std::strerror(errno));
    if (::stat(path_.c_str(), &named) != 0) return "was deleted";
    if (named.st_dev != held.st_dev || named.st_ino != held.st_ino) return "was replaced by another file";
    return {};
}

}  // namespace site
