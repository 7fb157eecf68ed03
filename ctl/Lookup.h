#pragma once

// Naming accounts and entries on the command line, and what a snapshot
// holds. Pure functions.

#include <string>
#include <string_view>
#include <vector>

#include "common/Records.h"
#include "common/Result.h"

namespace quorvane::ctl {

// The account `name` stands for: the one whose id it is (letters in either
// case), else the one whose label (display name) it is exactly. Fails with a
// sentence for the operator when none matches, or when several accounts carry
// that label (the sentence then lists their ids, so that one can be named).
[[nodiscard]] Result<Account> findAccount(const std::vector<Account>& accounts, std::string_view name);

// The id as the host writes ids: upper-case hexadecimal.
[[nodiscard]] std::string canonicalId(std::string_view id);

// Whether the snapshot's entries are the whole ledger: fewer than a snapshot
// carries (Limits::snapshotEntries), and none left out to keep it within its
// budget. Otherwise entries must be read from the host page by page.
[[nodiscard]] bool holdsWholeLedger(const Snapshot& snapshot);

} // namespace quorvane::ctl
