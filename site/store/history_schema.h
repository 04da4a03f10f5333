#pragma once
#include <cstdint>
#include <string>

struct sqlite3;

// The tables of the history database and how a database is recognised as the host's.
namespace site {

// PRAGMA application_id of the host's history databases ("KTHS").
constexpr std::int32_t kHistoryApplicationId = 0x4B544853;

// What a SQLite database is to the host, judged by its application id and its tables.
struct DatabaseLook {
    bool ours = false;
    std::string why;  // when not ours: what it is instead
};
DatabaseLook look_at(sqlite3* db);

// Creates what is missing of the tables, views and indexes, and marks the database as the
// host's. A database of the host written before the id existed keeps its tables and rows:
// `history` is still written and listed, the `readings` of the time are kept as they are.
void create_or_migrate(sqlite3* db);

}  // namespace site
