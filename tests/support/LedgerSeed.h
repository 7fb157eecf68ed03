#pragma once

// A ledger file written before a host opens it: the host's own schema,
// accounts, and entries in one transaction per call, so that a test has
// thousands of entries in a moment.
//
// Entries are credits with ids "E-<sequence>", amounts 1, 2, 3 … within each
// call, and sequence numbers following the highest one this seed wrote.
//
// Not thread-safe; every failure throws std::runtime_error with SQLite's text.
// Use it only while no host has the file open.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace quorvane::test {

class LedgerSeed {
public:
    // Creates the file's folders and the schema.
    explicit LedgerSeed(std::string file);

    [[nodiscard]] const std::string& file() const { return file_; }

    // A client-info account with the display name "Agent <id>".
    void addAccount(const std::string& id);
    // `count` entries; `accountOf(i)` names the account of the i-th (from 0),
    // `memoOf(i)` its memo.
    void addEntries(int count, const std::function<std::string(int)>& accountOf,
                    const std::function<std::string(int)>& memoOf);

    // The sequence numbers this seed gave an account's entries, oldest first.
    [[nodiscard]] std::vector<std::int64_t> sequencesOf(const std::string& account) const;
    [[nodiscard]] std::int64_t lastSequence() const { return lastSequence_; }

private:
    std::string file_;
    std::int64_t lastSequence_ = 0;
    std::map<std::string, std::vector<std::int64_t>> sequences_;
};

// The first column of every row of a query, read without changing the file
// (read-only, whatever its journal mode). Throws as above.
[[nodiscard]] std::vector<std::string> queryColumn(const std::string& file, const std::string& sql);

} // namespace quorvane::test
