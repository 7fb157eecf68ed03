#include "host/core/SQLite.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sqlite3.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvane {

std::string SQLiteError::description() const {
    return "SQLiteError(" + std::to_string(code) + "): " + message;
}

SQLiteDestructor sqliteTransient() {
    static const SQLiteDestructor marker = SQLITE_TRANSIENT;
    return marker;
}

SQLiteError makeSQLiteError(int code, const char* text, const char* fallback) {
    return SQLiteError(text != nullptr ? text : fallback, code);
}

// ---- Location ---------------------------------------------------------------

namespace {

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        return home;
    }
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) {
        return entry->pw_dir;
    }
    return {};
}

// Creates every missing folder of an absolute path, each with mode 0700.
// Failures are left for the caller's open to report.
void makeFolders(const std::string& path) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            return;
        }
        if (slash == std::string::npos) {
            return;
        }
    }
}

} // namespace

std::string ledgerDatabasePath() {
    std::string base;
    if (const char* dataHome = std::getenv("XDG_DATA_HOME"); dataHome != nullptr && dataHome[0] == '/') {
        base = dataHome;
    } else {
        base = homeFolder() + "/.local/share";
    }
    while (base.size() > 1 && base.back() == '/') {
        base.pop_back();
    }
    const std::string folder = (base == "/" ? std::string() : base) + "/Quorvane";
    makeFolders(folder);
    return folder + "/ledger.sqlite";
}

// ---- Statement --------------------------------------------------------------

SQLiteStatement::~SQLiteStatement() {
    sqlite3_finalize(statement_); // a no-op for null (moved-from)
}

SQLiteStatement::SQLiteStatement(SQLiteStatement&& other) noexcept
    : statement_(std::exchange(other.statement_, nullptr)),
      database_(std::exchange(other.database_, nullptr)) {
}

SQLiteStatement& SQLiteStatement::operator=(SQLiteStatement&& other) noexcept {
    if (this != &other) {
        sqlite3_finalize(statement_);
        statement_ = std::exchange(other.statement_, nullptr);
        database_ = std::exchange(other.database_, nullptr);
    }
    return *this;
}

bool SQLiteStatement::step() {
    const int result = sqlite3_step(statement_);
    if (result == SQLITE_ROW) {
        return true;
    }
    if (result == SQLITE_DONE) {
        return false;
    }
    throw makeSQLiteError(result, database_ != nullptr ? sqlite3_errmsg(database_) : nullptr, "step failed");
}

void SQLiteStatement::reset() {
    (void)sqlite3_reset(statement_); // repeats the last step's error, which was already reported
}

void SQLiteStatement::bindText(int index, const std::string& text) {
    (void)sqlite3_bind_text(statement_, index, text.c_str(), -1, sqliteTransient());
}

void SQLiteStatement::bindOptionalText(int index, const std::optional<std::string>& text) {
    if (text) {
        bindText(index, *text);
    } else {
        (void)sqlite3_bind_null(statement_, index);
    }
}

void SQLiteStatement::bindInt64(int index, std::int64_t value) {
    (void)sqlite3_bind_int64(statement_, index, static_cast<sqlite3_int64>(value));
}

std::string SQLiteStatement::columnText(int index) const {
    const unsigned char* text = sqlite3_column_text(statement_, index);
    return text != nullptr ? std::string(reinterpret_cast<const char*>(text)) : std::string();
}

std::optional<std::string> SQLiteStatement::columnOptionalText(int index) const {
    const unsigned char* text = sqlite3_column_text(statement_, index);
    if (text == nullptr) {
        return std::nullopt;
    }
    return std::string(reinterpret_cast<const char*>(text));
}

std::int64_t SQLiteStatement::columnInt64(int index) const {
    return static_cast<std::int64_t>(sqlite3_column_int64(statement_, index));
}

bool SQLiteStatement::columnIsNull(int index) const {
    return sqlite3_column_type(statement_, index) == SQLITE_NULL;
}

// ---- Database ---------------------------------------------------------------

SQLiteDatabase::SQLiteDatabase(const std::string& path) {
    sqlite3* handle = nullptr;
    const int result = sqlite3_open_v2(
        path.c_str(), &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    if (result != SQLITE_OK || handle == nullptr) {
        SQLiteError error = makeSQLiteError(
            result, result != SQLITE_OK && handle != nullptr ? sqlite3_errmsg(handle) : nullptr,
            "open failed");
        sqlite3_close(handle); // a no-op for null
        throw error;
    }
    handle_ = handle;
    try {
        sqlite3_busy_timeout(handle_, 3000);
        execute("PRAGMA journal_mode = WAL;");
        execute("PRAGMA foreign_keys = ON;");
    } catch (...) {
        sqlite3_close(std::exchange(handle_, nullptr));
        throw;
    }
}

SQLiteDatabase::~SQLiteDatabase() {
    sqlite3_close(handle_);
}

void SQLiteDatabase::execute(const std::string& sql) {
    char* errorText = nullptr;
    const int result = sqlite3_exec(handle_, sql.c_str(), nullptr, nullptr, &errorText);
    if (result != SQLITE_OK) {
        SQLiteError error = makeSQLiteError(result, errorText, "exec failed");
        sqlite3_free(errorText);
        throw error;
    }
    sqlite3_free(errorText);
}

SQLiteStatement SQLiteDatabase::prepare(const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    const int result = sqlite3_prepare_v2(handle_, sql.c_str(), -1, &statement, nullptr);
    if (result != SQLITE_OK || statement == nullptr) {
        sqlite3_finalize(statement);
        throw makeSQLiteError(result, sqlite3_errmsg(handle_), "prepare failed");
    }
    return SQLiteStatement(statement, handle_);
}

} // namespace quorvane
