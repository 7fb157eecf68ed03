#pragma once

// Files quorvanectl names or writes on the operator's side.

#include <filesystem>
#include <string>

namespace quorvane::ctl {

// Where the host keeps this user's ledger: $XDG_DATA_HOME/Quorvane/ledger.sqlite
// when XDG_DATA_HOME is an absolute path, else
// $HOME/.local/share/Quorvane/ledger.sqlite (the host's own rule). Reads the
// environment; creates nothing. Empty when no home folder is known.
[[nodiscard]] std::string ledgerFilePath();

// `path` made absolute against the current folder (not resolved further).
[[nodiscard]] std::filesystem::path absolutePath(const std::string& path);

} // namespace quorvane::ctl
