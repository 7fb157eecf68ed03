#include "host/core/AccountCrypto.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <openssl/evp.h>
#include <sys/random.h>
#include <vector>

namespace quorvane::AccountCrypto {

namespace {

constexpr std::size_t saltBytes = 16;
using Digest = std::array<std::uint8_t, 32>;

[[noreturn]] void fatal(const char* what) {
    std::fprintf(stderr, "quorvane: %s\n", what);
    std::abort();
}

// Fills the buffer from the kernel's secure generator. There is no weaker
// fallback: without getrandom the process stops.
void secureRandomBytes(std::uint8_t* buffer, std::size_t size) {
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t got = ::getrandom(buffer + filled, size - filled, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            fatal("the system's secure random generator is unavailable");
        }
        filled += static_cast<std::size_t>(got);
    }
}

Digest sha256(std::span<const std::uint8_t> bytes) {
    Digest digest{};
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
        length != digest.size()) {
        fatal("SHA-256 failed");
    }
    return digest;
}

std::span<const std::uint8_t> utf8Bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The bytes of a hex text; empty when its length is odd or a pair is not hex.
std::vector<std::uint8_t> decodeHex(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    if (text.size() % 2 != 0) {
        return bytes;
    }
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = hexDigitValue(text[i]);
        const int low = hexDigitValue(text[i + 1]);
        if (high < 0 || low < 0) {
            return {};
        }
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
    }
    return bytes;
}

} // namespace

std::string hex(std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0f]);
    }
    return text;
}

std::string newSalt() {
    std::array<std::uint8_t, saltBytes> salt{};
    secureRandomBytes(salt.data(), salt.size());
    return hex(salt);
}

std::string hashKey(std::string_view key, std::string_view saltHex) {
    std::vector<std::uint8_t> input = decodeHex(saltHex);
    const auto keyBytes = utf8Bytes(key);
    input.insert(input.end(), keyBytes.begin(), keyBytes.end());
    return hex(sha256(input));
}

bool verify(std::string_view key, std::string_view saltHex, std::string_view expectedHashHex) {
    const std::string actual = hashKey(key, saltHex);
    if (actual.size() != expectedHashHex.size()) {
        return false;
    }
    // Every byte is looked at, whatever differs, so the time taken does not
    // tell how much of the hash matched.
    unsigned char difference = 0;
    for (std::size_t i = 0; i < actual.size(); ++i) {
        difference |= static_cast<unsigned char>(actual[i] ^ expectedHashHex[i]);
    }
    return difference == 0;
}

std::string fingerprint(const ClientInfo& clientInfo) {
    std::string joined = clientInfo.name;
    joined += '\x1f';
    joined += clientInfo.version.value_or("");
    joined += '\x1f';
    joined += clientInfo.title.value_or("");
    return hex(sha256(utf8Bytes(joined)));
}

} // namespace quorvane::AccountCrypto
