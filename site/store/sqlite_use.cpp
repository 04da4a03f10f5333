#include "site/store/sqlite_use.h"

#include <sqlite3.h>

#include <memory>
#include <utility>

namespace site {

void fail(sqlite3* db, const std::string& what) {
    const int code = sqlite3_errcode(db) & 0xFF;
    const std::string message = what + ": " + sqlite3_errmsg(db);
    if (code == SQLITE_NOTADB || code == SQLITE_CORRUPT) throw Unreadable(message);
    throw std::runtime_error(message);
}

void exec(sqlite3* db, const char* sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail(db, sql);
}

sqlite3_stmt* prepare_statement(sqlite3* db, const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK)
        fail(db, "not a sitehost history database");
    return statement;
}

std::int64_t query_number(sqlite3* db, const char* sql, std::optional<std::int64_t> parameter) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) fail(db, sql);
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> owner(statement, sqlite3_finalize);
    if (parameter) sqlite3_bind_int64(statement, 1, *parameter);
    if (sqlite3_step(statement) != SQLITE_ROW) fail(db, sql);
    return sqlite3_column_int64(statement, 0);
}

std::size_t step_change(sqlite3* db, sqlite3_stmt* statement, const std::string& what) {
    if (sqlite3_step(statement) != SQLITE_DONE) fail(db, what);
    return static_cast<std::size_t>(sqlite3_changes(db));
}

StatementUse::~StatementUse() {
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
}

Transaction::Transaction(sqlite3* db, std::string what) : db_(db), what_(std::move(what)) {
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) fail(db_, what_);
}

Transaction::~Transaction() {
    if (open_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::commit() {
    if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) fail(db_, what_);
    open_ = false;
}

}  // namespace site
