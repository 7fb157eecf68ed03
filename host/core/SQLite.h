#pragma once

// A thin wrapper over the SQLite 3 C API, the location of the ledger file and
// the ledger's schema.
//
// Ownership: SQLiteDatabase owns one connection and closes it when destroyed;
// SQLiteStatement owns one compiled statement and finalizes it when destroyed.
// A statement must be destroyed before the database that compiled it.
//
// Threading: the wrapper takes no locks. The connection is opened in SQLite's
// serialized mode, and its owner (the ledger store) confines all use of it to
// one thread at a time.
//
// Errors: every failing call throws SQLiteError, built in one place from
// SQLite's result code and error text.

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <utility>

struct sqlite3;
struct sqlite3_stmt;

namespace quorvane {

struct SQLiteError : std::exception {
    std::string message;   // SQLite's error text, or "open failed" / "exec failed" / "step failed"
    std::int32_t code = 0; // the failing call's result code; 0 when SQLite succeeded without a result

    SQLiteError(std::string message, std::int32_t code) : message(std::move(message)), code(code) {}

    // "SQLiteError(<code>): <message>"
    [[nodiscard]] std::string description() const;
    [[nodiscard]] const char* what() const noexcept override { return message.c_str(); }
};

// SQLite's transient-destructor marker: text bound with it is copied at bind
// time, so the caller's buffer may go away at once. Initialised on first use.
using SQLiteDestructor = void (*)(void*);
[[nodiscard]] SQLiteDestructor sqliteTransient();

// The schema, run as a whole every time the ledger opens. Every statement is of
// the IF NOT EXISTS form, so an existing database is left unchanged.
inline constexpr const char* ledgerSchemaScript = R"sql(
CREATE TABLE IF NOT EXISTS meta (
    key TEXT PRIMARY KEY,
    value TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS account (
    id TEXT PRIMARY KEY,
    display_name TEXT NOT NULL,
    identity_mode TEXT NOT NULL,
    key_hash TEXT,
    key_salt TEXT,
    client_info_json TEXT,
    clientinfo_fingerprint TEXT,
    created_at TEXT NOT NULL,
    last_seen_sequence INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS idx_account_fingerprint ON account(clientinfo_fingerprint);
CREATE TABLE IF NOT EXISTS ledger (
    id TEXT PRIMARY KEY,
    account_id TEXT NOT NULL,
    kind TEXT NOT NULL,
    flag TEXT NOT NULL,
    amount INTEGER NOT NULL,
    memo TEXT NOT NULL,
    created_at TEXT NOT NULL,
    updated_at TEXT NOT NULL,
    sequence INTEGER NOT NULL,
    FOREIGN KEY(account_id) REFERENCES account(id) ON DELETE CASCADE
);
CREATE INDEX IF NOT EXISTS idx_ledger_account ON ledger(account_id, sequence);
)sql";

// The absolute path of the ledger file: $XDG_DATA_HOME/Quorvane/ledger.sqlite
// when XDG_DATA_HOME is set to an absolute path, else
// $HOME/.local/share/Quorvane/ledger.sqlite (the home folder from the
// environment, else from the password database). Missing folders are created
// with mode 0700; a failure to create them is ignored (opening the file then
// fails and reports it).
[[nodiscard]] std::string ledgerDatabasePath();

// One compiled statement. Move-only. Bind and column calls use SQLite's
// numbering: parameters from 1 ("?1"), columns from 0.
class SQLiteStatement {
public:
    SQLiteStatement(sqlite3_stmt* statement, sqlite3* database) noexcept
        : statement_(statement), database_(database) {}
    ~SQLiteStatement();
    SQLiteStatement(SQLiteStatement&& other) noexcept;
    SQLiteStatement& operator=(SQLiteStatement&& other) noexcept;
    SQLiteStatement(const SQLiteStatement&) = delete;
    SQLiteStatement& operator=(const SQLiteStatement&) = delete;

    // True when a row is ready, false when the statement has finished. Throws
    // SQLiteError for any other result ("step failed" when there is no
    // connection to ask for the error text).
    [[nodiscard]] bool step();
    // Makes the statement ready to step again from the start (bindings stay).
    void reset();

    // Binds. Result codes are ignored: a failing bind shows up as a failing step.
    // Text is bound as NUL-terminated UTF-8 (an embedded NUL ends it) and copied.
    void bindText(int index, const std::string& text);
    // Absent text is bound as NULL.
    void bindOptionalText(int index, const std::optional<std::string>& text);
    void bindInt64(int index, std::int64_t value);

    // Columns of the current row. Text is read up to its first NUL; NULL reads
    // as "" (columnText), as absent (columnOptionalText) or as 0 (columnInt64).
    [[nodiscard]] std::string columnText(int index) const;
    [[nodiscard]] std::optional<std::string> columnOptionalText(int index) const;
    [[nodiscard]] std::int64_t columnInt64(int index) const;
    [[nodiscard]] bool columnIsNull(int index) const;

    [[nodiscard]] sqlite3_stmt* handle() const noexcept { return statement_; }

private:
    sqlite3_stmt* statement_;
    sqlite3* database_; // not owned; only used for the error text after a failed step
};

// One open connection. Not copyable or movable: statements keep its handle.
class SQLiteDatabase {
public:
    // Opens or creates the file (read-write, create, serialized: flags 0x10006),
    // sets a 3000 ms busy timeout, then turns on write-ahead logging and foreign
    // keys. Throws SQLiteError; a failed open leaves no handle behind.
    explicit SQLiteDatabase(const std::string& path);
    ~SQLiteDatabase();
    SQLiteDatabase(const SQLiteDatabase&) = delete;
    SQLiteDatabase& operator=(const SQLiteDatabase&) = delete;

    // Runs every statement of the text in order, stopping at the first failure
    // (thrown, "exec failed" when SQLite gives no text). Rows are discarded.
    void execute(const std::string& sql);

    // Compiles the first statement of the text. Throws SQLiteError for any
    // failure, with code 0 when the text holds no statement.
    [[nodiscard]] SQLiteStatement prepare(const std::string& sql);

    [[nodiscard]] sqlite3* handle() const noexcept { return handle_; }

private:
    sqlite3* handle_ = nullptr;
};

// The one place that turns a failed SQLite call into an SQLiteError: `text`
// (SQLite's error text) when there is one, else the fixed `fallback` text.
[[nodiscard]] SQLiteError makeSQLiteError(int code, const char* text, const char* fallback);

} // namespace quorvane
