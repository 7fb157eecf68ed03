#pragma once

// Salts, key hashes and client fingerprints. The recipes are part of the
// database file format. Pure functions (apart from newSalt's randomness),
// safe on any thread.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/Records.h"

namespace quorvane::AccountCrypto {

// 32 lower-case hex digits: 16 bytes from getrandom(2).
[[nodiscard]] std::string newSalt();

// 64 lower-case hex digits: SHA-256 of the salt bytes followed by the key's UTF-8
// bytes. A salt text of odd length or with a non-hex pair counts as empty.
[[nodiscard]] std::string hashKey(std::string_view key, std::string_view saltHex);

// Constant-time comparison of hashKey(key, saltHex) with the expected text.
[[nodiscard]] bool verify(std::string_view key, std::string_view saltHex, std::string_view expectedHashHex);

// 64 lower-case hex digits: SHA-256 of name, version, title joined by U+001F.
[[nodiscard]] std::string fingerprint(const ClientInfo& clientInfo);

// Two lower-case hex digits per byte.
[[nodiscard]] std::string hex(std::span<const std::uint8_t> bytes);

} // namespace quorvane::AccountCrypto
