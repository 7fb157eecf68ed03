#include "host/core/SQLite.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <optional>
#include <sqlite3.h>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace quorvane {
namespace {

namespace fs = std::filesystem;

// The rows of a one-column query, as text.
std::vector<std::string> texts(SQLiteDatabase& db, const std::string& sql) {
    std::vector<std::string> rows;
    SQLiteStatement statement = db.prepare(sql);
    while (statement.step()) {
        rows.push_back(statement.columnText(0));
    }
    return rows;
}

std::string text(SQLiteDatabase& db, const std::string& sql) {
    const auto rows = texts(db, sql);
    return rows.empty() ? std::string("<no row>") : rows.front();
}

SQLiteError errorOf(const std::function<void()>& body) {
    try {
        body();
    } catch (const SQLiteError& error) {
        return error;
    }
    ADD_FAILURE() << "no SQLiteError thrown";
    return SQLiteError("", -1);
}

class SQLiteTest : public ::testing::Test {
protected:
    test::TempDir folder;
    std::string path = folder.file("ledger.sqlite");
};

TEST(SQLiteErrorTest, DescriptionIsCodeThenMessage) {
    EXPECT_EQ(SQLiteError("database is locked", 5).description(), "SQLiteError(5): database is locked");
    EXPECT_EQ(SQLiteError("open failed", 0).description(), "SQLiteError(0): open failed");
}

TEST_F(SQLiteTest, OpeningInMissingFolderFailsWithCantOpen) {
    const SQLiteError error = errorOf([&] { SQLiteDatabase db(folder.file("missing/ledger.sqlite")); });
    EXPECT_EQ(error.code, SQLITE_CANTOPEN);
    EXPECT_EQ(error.description().rfind("SQLiteError(14): ", 0), 0u) << error.description();
    EXPECT_FALSE(error.message.empty());
}

TEST_F(SQLiteTest, OpeningAFileThatIsNoDatabaseFailsInTheFirstPragma) {
    std::ofstream(path) << std::string(4096, 'x');
    const SQLiteError error = errorOf([&] { SQLiteDatabase db(path); });
    EXPECT_EQ(error.code, SQLITE_NOTADB);
    EXPECT_EQ(error.message, "file is not a database");
}

TEST_F(SQLiteTest, ConnectionRunsWithWriteAheadLogAndForeignKeys) {
    SQLiteDatabase db(path);
    EXPECT_EQ(text(db, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(text(db, "PRAGMA foreign_keys"), "1");
    EXPECT_TRUE(fs::exists(path));
}

TEST_F(SQLiteTest, SchemaHasItsTablesColumnsAndIndexesInOrder) {
    SQLiteDatabase db(path);
    db.execute(ledgerSchemaScript);
    EXPECT_EQ(texts(db, "SELECT name FROM sqlite_master ORDER BY rowid"),
              (std::vector<std::string>{"meta", "sqlite_autoindex_meta_1", "account",
                                        "sqlite_autoindex_account_1", "idx_account_fingerprint", "ledger",
                                        "sqlite_autoindex_ledger_1", "idx_ledger_account"}));

    struct Column {
        std::string name, type;
        int notNull;
        std::string defaultValue;
        int primaryKey;
        bool operator==(const Column&) const = default;
    };
    auto columns = [&](const std::string& table) {
        std::vector<Column> result;
        SQLiteStatement statement = db.prepare("PRAGMA table_info(" + table + ")");
        while (statement.step()) {
            result.push_back({statement.columnText(1), statement.columnText(2),
                              static_cast<int>(statement.columnInt64(3)), statement.columnText(4),
                              static_cast<int>(statement.columnInt64(5))});
        }
        return result;
    };
    EXPECT_EQ(columns("meta"), (std::vector<Column>{{"key", "TEXT", 0, "", 1}, {"value", "TEXT", 1, "", 0}}));
    EXPECT_EQ(columns("account"), (std::vector<Column>{{"id", "TEXT", 0, "", 1},
                                                       {"display_name", "TEXT", 1, "", 0},
                                                       {"identity_mode", "TEXT", 1, "", 0},
                                                       {"key_hash", "TEXT", 0, "", 0},
                                                       {"key_salt", "TEXT", 0, "", 0},
                                                       {"client_info_json", "TEXT", 0, "", 0},
                                                       {"clientinfo_fingerprint", "TEXT", 0, "", 0},
                                                       {"created_at", "TEXT", 1, "", 0},
                                                       {"last_seen_sequence", "INTEGER", 1, "0", 0}}));
    EXPECT_EQ(columns("ledger"), (std::vector<Column>{{"id", "TEXT", 0, "", 1},
                                                      {"account_id", "TEXT", 1, "", 0},
                                                      {"kind", "TEXT", 1, "", 0},
                                                      {"flag", "TEXT", 1, "", 0},
                                                      {"amount", "INTEGER", 1, "", 0},
                                                      {"memo", "TEXT", 1, "", 0},
                                                      {"created_at", "TEXT", 1, "", 0},
                                                      {"updated_at", "TEXT", 1, "", 0},
                                                      {"sequence", "INTEGER", 1, "", 0}}));
    EXPECT_EQ(text(db, "SELECT \"table\" || '(' || \"from\" || ') -> ' || \"to\" || ' ' || on_delete "
                       "FROM pragma_foreign_key_list('ledger')"),
              "account(account_id) -> id CASCADE");
    EXPECT_EQ(texts(db, "SELECT name FROM pragma_index_info('idx_ledger_account')"),
              (std::vector<std::string>{"account_id", "sequence"}));
    EXPECT_EQ(texts(db, "SELECT name FROM pragma_index_info('idx_account_fingerprint')"),
              (std::vector<std::string>{"clientinfo_fingerprint"}));
}

TEST_F(SQLiteTest, ReopeningReRunsTheSchemaWithoutChangingAnything) {
    std::vector<std::string> schemaBefore;
    {
        SQLiteDatabase db(path);
        db.execute(ledgerSchemaScript);
        db.execute("INSERT INTO account (id, display_name, identity_mode, created_at) "
                   "VALUES ('A', 'Alice', 'clientInfo', '2025-03-01T09:30:00Z');"
                   "INSERT INTO ledger VALUES ('E', 'A', 'credit', 'none', 5, 'm', 't', 't', 1);"
                   "CREATE INDEX extra_index ON ledger(memo);");
        schemaBefore = texts(db, "SELECT sql FROM sqlite_master WHERE sql IS NOT NULL ORDER BY rowid");
    }
    SQLiteDatabase db(path);
    db.execute(ledgerSchemaScript);
    EXPECT_EQ(texts(db, "SELECT sql FROM sqlite_master WHERE sql IS NOT NULL ORDER BY rowid"), schemaBefore);
    EXPECT_EQ(text(db, "SELECT display_name || ',' || last_seen_sequence FROM account"), "Alice,0");
    EXPECT_EQ(text(db, "SELECT id || ',' || amount FROM ledger"), "E,5");
}

TEST_F(SQLiteTest, DeletingAnAccountDeletesItsEntries) {
    SQLiteDatabase db(path);
    db.execute(ledgerSchemaScript);
    db.execute(
        "INSERT INTO account (id, display_name, identity_mode, created_at) VALUES ('A', 'a', 'x', 't');"
        "INSERT INTO account (id, display_name, identity_mode, created_at) VALUES ('B', 'b', 'x', 't');"
        "INSERT INTO ledger VALUES ('E1', 'A', 'credit', 'none', 1, '', 't', 't', 1);"
        "INSERT INTO ledger VALUES ('E2', 'B', 'credit', 'none', 1, '', 't', 't', 2);"
        "DELETE FROM account WHERE id = 'A';");
    EXPECT_EQ(texts(db, "SELECT id FROM ledger"), std::vector<std::string>{"E2"});
}

TEST_F(SQLiteTest, ExecuteStopsAtTheFirstFailingStatement) {
    SQLiteDatabase db(path);
    db.execute("CREATE TABLE t (x INTEGER NOT NULL);");
    const SQLiteError error = errorOf([&] {
        db.execute("INSERT INTO t VALUES (1); INSERT INTO nowhere VALUES (2); INSERT INTO t VALUES (3);");
    });
    EXPECT_EQ(error.code, SQLITE_ERROR);
    EXPECT_EQ(error.message, "no such table: nowhere");
    EXPECT_EQ(texts(db, "SELECT x FROM t"), std::vector<std::string>{"1"});
}

TEST_F(SQLiteTest, PreparingNoStatementThrowsWithCodeZero) {
    SQLiteDatabase db(path);
    for (const char* sql : {"", "   ", "\n\t ", "-- only a comment"}) {
        EXPECT_EQ(errorOf([&] { (void)db.prepare(sql); }).code, 0) << '"' << sql << '"';
    }
    const SQLiteError syntax = errorOf([&] { (void)db.prepare("SELEC 1"); });
    EXPECT_EQ(syntax.code, SQLITE_ERROR);
    EXPECT_EQ(syntax.message, "near \"SELEC\": syntax error");
}

TEST_F(SQLiteTest, StepReportsConstraintViolations) {
    SQLiteDatabase db(path);
    db.execute(ledgerSchemaScript);
    db.execute("INSERT INTO meta VALUES ('k', 'v');");
    struct Case {
        const char* sql;
        const char* message;
    };
    for (const Case& c :
         {Case{"INSERT INTO meta VALUES ('k', 'w');", "UNIQUE constraint failed: meta.key"},
          Case{"INSERT INTO meta VALUES ('n', NULL);", "NOT NULL constraint failed: meta.value"},
          Case{"INSERT INTO ledger VALUES ('E', 'nobody', 'credit', 'none', 1, '', 't', 't', 1);",
               "FOREIGN KEY constraint failed"}}) {
        SQLiteStatement statement = db.prepare(c.sql);
        const SQLiteError error = errorOf([&] { (void)statement.step(); });
        EXPECT_EQ(error.code, SQLITE_CONSTRAINT) << c.sql;
        EXPECT_EQ(error.message, c.message);
    }
}

TEST_F(SQLiteTest, StepWithoutConnectionReportsFixedText) {
    SQLiteDatabase db(path);
    db.execute("CREATE TABLE t (x INTEGER NOT NULL);");
    sqlite3_stmt* raw = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db.handle(), "INSERT INTO t VALUES (NULL);", -1, &raw, nullptr), SQLITE_OK);
    SQLiteStatement statement(raw, nullptr);
    const SQLiteError error = errorOf([&] { (void)statement.step(); });
    EXPECT_EQ(error.code, SQLITE_CONSTRAINT);
    EXPECT_EQ(error.message, "step failed");
}

TEST_F(SQLiteTest, BindAndColumnConventions) {
    SQLiteDatabase db(path);
    db.execute("CREATE TABLE t (a TEXT, b TEXT, c INTEGER, d TEXT);");
    {
        std::string transientText = "copied at bind time";
        SQLiteStatement insert = db.prepare("INSERT INTO t VALUES (?1, ?2, ?3, ?1 || ?4);");
        insert.bindText(1, transientText);
        transientText.assign(transientText.size(), '#'); // the bound copy must not change
        insert.bindOptionalText(2, std::nullopt);
        insert.bindInt64(3, std::numeric_limits<std::int64_t>::min());
        insert.bindText(4, std::string("before\0after", 12)); // stored only up to the NUL
        EXPECT_FALSE(insert.step());
    }
    SQLiteStatement select = db.prepare("SELECT a, b, c, d, NULL FROM t;");
    ASSERT_TRUE(select.step());
    EXPECT_EQ(select.columnText(0), "copied at bind time");
    EXPECT_EQ(select.columnText(1), "");
    EXPECT_EQ(select.columnOptionalText(1), std::nullopt);
    EXPECT_TRUE(select.columnIsNull(1));
    EXPECT_EQ(select.columnInt64(2), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(select.columnText(3), "copied at bind timebefore");
    EXPECT_EQ(select.columnInt64(4), 0);
    EXPECT_FALSE(select.step());
}

// ---- ledgerDatabasePath ----

class LedgerPathTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = {{"HOME", opt(std::getenv("HOME"))}, {"XDG_DATA_HOME", opt(std::getenv("XDG_DATA_HOME"))}};
    }
    void TearDown() override {
        for (const auto& [name, value] : saved_) {
            if (value) {
                ::setenv(name.c_str(), value->c_str(), 1);
            } else {
                ::unsetenv(name.c_str());
            }
        }
    }
    static void set(const char* name, const std::optional<std::string>& value) {
        if (value) {
            ::setenv(name, value->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }
    test::TempDir folder;

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
    static std::optional<std::string> opt(const char* v) {
        return v ? std::optional<std::string>(v) : std::nullopt;
    }
};

TEST_F(LedgerPathTest, ChoosesDataHomeOrHomeAndCreatesPrivateFolder) {
    const std::string home = folder.file("home");
    const std::string data = folder.file("data");
    struct Case {
        std::optional<std::string> xdg;
        std::string expected;
    };
    const Case cases[] = {
        {data, data + "/Quorvane/ledger.sqlite"},
        {data + "/", data + "/Quorvane/ledger.sqlite"},
        {std::nullopt, home + "/.local/share/Quorvane/ledger.sqlite"},
        {std::string(), home + "/.local/share/Quorvane/ledger.sqlite"},
        {std::string("relative/data"), home + "/.local/share/Quorvane/ledger.sqlite"},
    };
    for (const auto& c : cases) {
        set("HOME", home);
        set("XDG_DATA_HOME", c.xdg);
        EXPECT_EQ(ledgerDatabasePath(), c.expected) << c.xdg.value_or("<unset>");
        const fs::path quorvane = fs::path(c.expected).parent_path();
        struct stat info {};
        ASSERT_EQ(::stat(quorvane.c_str(), &info), 0) << quorvane;
        EXPECT_TRUE(S_ISDIR(info.st_mode));
        EXPECT_EQ(info.st_mode & 0777, 0700u);
        // The path is usable as it is.
        SQLiteDatabase db(c.expected);
    }
}

TEST_F(LedgerPathTest, FolderCreationFailureIsLeftToOpening) {
    const std::string blocker = folder.file("a-file");
    std::ofstream(blocker) << "not a folder";
    set("XDG_DATA_HOME", blocker);
    const std::string path = ledgerDatabasePath();
    EXPECT_EQ(path, blocker + "/Quorvane/ledger.sqlite");
    EXPECT_EQ(errorOf([&] { SQLiteDatabase db(path); }).code, SQLITE_CANTOPEN);
}

} // namespace
} // namespace quorvane
