#pragma once

// A consistent copy of the live ledger, made while agents keep writing.
//
// The copy is read through a connection of its own with SQLite's online
// backup API: in write-ahead-log mode that read sees one committed state
// (every change acknowledged before the backup began, perhaps a few later
// ones) and never blocks the store's writers. The copy is written to a
// temporary file beside the target (mode 0600), switched to a single-file
// journal mode, checked with PRAGMA integrity_check, flushed to disk, and
// only then renamed to the target. Any failure removes the temporary file, so
// a failed backup leaves nothing behind.
//
// Threading: stateless; any thread, concurrently with the store. Blocks for
// as long as the copy takes.

#include <cstddef>
#include <string>

#include "common/Result.h"

namespace quorvane::LedgerBackup {

// The longest target path taken (bytes); longer ones are refused.
inline constexpr std::size_t maxPathBytes = 4095;

// Copies the ledger file at `ledgerPath` to `targetPath`, which must be an
// absolute path in an existing folder. Without `force`, an existing file (or
// anything else) at the target is refused and left alone; with it, a file
// is replaced atomically. The live ledger itself (and its -wal, -shm and
// -journal companions) is never a valid target. The error is a sentence for
// the operator: the target exists, cannot be written (and why), the ledger
// cannot be read, or the copy failed its integrity check.
[[nodiscard]] Result<void> copyLedger(const std::string& ledgerPath, const std::string& targetPath,
                                      bool force);

} // namespace quorvane::LedgerBackup
