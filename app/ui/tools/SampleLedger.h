#pragma once

// Made-up ledgers for the screenshot renderer, the benchmark and the view
// tests: deterministic, no host needed.

#include <cstddef>

#include "common/Records.h"

namespace quorvane::samples {

// A small, varied ledger: a handful of accounts of both identity modes (one
// selected-looking first account with client info, one without), every entry
// type including a credit flagged penalty and a note flagged bonus, live
// connections (one still connecting) and API traffic in all three directions.
[[nodiscard]] Snapshot showcaseSnapshot();

// `accounts` accounts and `entries` entries spread over them (newest first),
// a few connections and `apiLines` log lines; for load tests.
[[nodiscard]] Snapshot largeSnapshot(std::size_t accounts, std::size_t entries, std::size_t apiLines = 300,
                                     std::size_t seed = 1);

} // namespace quorvane::samples
