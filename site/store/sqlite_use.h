#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

// The few ways the store talks to SQLite, each failing with an exception that names what it
// was doing.
namespace site {

// A SQLite file that is there but fails to open or to pass the integrity check: the one
// case where the host moves the file aside rather than stopping.
class Unreadable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws for the connection's last error: Unreadable for a damaged file or one that is no
// database, std::runtime_error otherwise.
[[noreturn]] void fail(sqlite3* db, const std::string& what);
void exec(sqlite3* db, const char* sql);
// A statement kept for the life of the connection.
sqlite3_stmt* prepare_statement(sqlite3* db, const char* sql);
// The first column of the first row of a query that yields one number.
std::int64_t query_number(sqlite3* db, const char* sql, std::optional<std::int64_t> parameter = std::nullopt);
// Runs a statement that changes rows; throws naming `what` when it fails. Rows changed.
std::size_t step_change(sqlite3* db, sqlite3_stmt* statement, const std::string& what);

// Resets a statement whatever way the caller leaves.
struct StatementUse {
    explicit StatementUse(sqlite3_stmt* s) : statement(s) {}
    ~StatementUse();
    StatementUse(const StatementUse&) = delete;
    StatementUse& operator=(const StatementUse&) = delete;
    sqlite3_stmt* statement;
};

// BEGIN IMMEDIATE takes the write lock at once (waiting out the busy timeout), so a
// transaction never fails half way for want of it; rolled back unless committed.
class Transaction {
public:
    Transaction(sqlite3* db, std::string what);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit();

private:
    sqlite3* db_;
    std::string what_;
    bool open_ = true;
};

}  // namespace site
