#include "host/core/AccountCrypto.h"

#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <set>
#include <string>

namespace quorvane {
namespace {

namespace AC = AccountCrypto;

bool isLowerHex(const std::string& text) {
    return text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

TEST(AccountCryptoTest, HexWritesTwoLowerCaseDigitsPerByte) {
    const std::array<std::uint8_t, 5> bytes{0x00, 0x0f, 0xab, 0xf0, 0xff};
    EXPECT_EQ(AC::hex(bytes), "000fabf0ff");
    EXPECT_EQ(AC::hex({}), "");
}

TEST(AccountCryptoTest, NewSaltIsFreshLowerHexOf16Bytes) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const std::string salt = AC::newSalt();
        ASSERT_EQ(salt.size(), 32u);
        ASSERT_TRUE(isLowerHex(salt)) << salt;
        seen.insert(salt);
    }
    EXPECT_EQ(seen.size(), 200u);
}

TEST(AccountCryptoTest, HashKeyIsSha256OfSaltBytesThenKeyBytes) {
    // Reference digests computed independently of this code.
    EXPECT_EQ(AC::hashKey("abc", ""), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(AC::hashKey("secret", "000102030405060708090a0b0c0d0e0f"),
              "67557c0d86179c45199f096d85b7aeb2b8b34bf423c403ba517f72bcc5913c4c");
    // Non-ASCII keys are hashed by their UTF-8 bytes, without normalisation.
    EXPECT_EQ(AC::hashKey("\xc3\xa9", "00ff"),
              "f913f951fee20a999f5360abd89d13db26473126d9c5942dcc37b29eeef7dacb");
    EXPECT_EQ(AC::hashKey("e\xcc\x81", "00ff"),
              "937bc5d5bc857c5de9ff519735c93061e5bb62082bf07de7f430c5245d01e7bf");
}

TEST(AccountCryptoTest, HashKeyDependsOnKeyAndSaltBytesOnly) {
    const std::string salt = "0a1b2c3d4e5f60718293a4b5c6d7e8f9";
    const std::string hash = AC::hashKey("my key", salt);
    EXPECT_EQ(hash.size(), 64u);
    EXPECT_TRUE(isLowerHex(hash));
    EXPECT_EQ(AC::hashKey("my key", salt), hash);
    EXPECT_NE(AC::hashKey("my key!", salt), hash);
    EXPECT_NE(AC::hashKey("my key", "0a1b2c3d4e5f60718293a4b5c6d7e8f8"), hash);
    // Only the bytes count, not the case of their digits.
    EXPECT_EQ(AC::hashKey("my key", "0A1B2C3D4E5F60718293A4B5C6D7E8F9"), hash);
}

TEST(AccountCryptoTest, MalformedSaltHashesAsEmptySalt) {
    const std::string unsalted = AC::hashKey("key", "");
    for (const char* salt : {"a", "abc", "zz", "0g", "g0", "ab cd", "+f", "-1", "0x", "\xc3\xa9"}) {
        EXPECT_EQ(AC::hashKey("key", salt), unsalted) << salt;
    }
}

TEST(AccountCryptoTest, VerifyAcceptsOnlyTheExactLowerCaseHash) {
    const std::string salt = AC::newSalt();
    const std::string hash = AC::hashKey("right", salt);
    EXPECT_TRUE(AC::verify("right", salt, hash));

    std::string upper = hash;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    std::string lastDigitChanged = hash;
    lastDigitChanged.back() = lastDigitChanged.back() == '0' ? '1' : '0';

    struct Case {
        const char* name;
        std::string key;
        std::string expected;
    };
    const Case rejected[] = {
        {"wrong key", "wrong", hash},    {"upper case", "right", upper},
        {"longer", "right", hash + "0"}, {"shorter", "right", hash.substr(0, 63)},
        {"empty", "right", ""},          {"last digit", "right", lastDigitChanged},
    };
    for (const auto& c : rejected) {
        EXPECT_FALSE(AC::verify(c.key, salt, c.expected)) << c.name;
    }
    // A malformed stored salt never verifies a key hashed with the real salt.
    EXPECT_FALSE(AC::verify("right", salt.substr(1), hash));
}

TEST(AccountCryptoTest, FingerprintJoinsFieldsWithUnitSeparators) {
    EXPECT_EQ(AC::fingerprint(ClientInfo{"abc", std::nullopt, std::nullopt}),
              "7d65a45102f26c9a657c53b00a5c3b2ccf02619e1e9fea6e35d02cf085e77b2b");
    EXPECT_EQ(AC::fingerprint(ClientInfo{"Claude Code", "1.0.3", "Claude"}),
              "0c1fe6241a661d20c44a47611815ffa88ab82aa6ff228df19c12451ab08a3c25");

    // Absent and empty are the same; the fields keep their places.
    EXPECT_EQ(AC::fingerprint({"abc", std::nullopt, "t"}), AC::fingerprint({"abc", "", "t"}));
    EXPECT_EQ(AC::fingerprint({"abc", "v", std::nullopt}), AC::fingerprint({"abc", "v", ""}));
    EXPECT_NE(AC::fingerprint({"abc", "x", std::nullopt}), AC::fingerprint({"abc", std::nullopt, "x"}));
    EXPECT_NE(AC::fingerprint({"abc", std::nullopt, std::nullopt}),
              AC::fingerprint({"abd", std::nullopt, std::nullopt}));
}

} // namespace
} // namespace quorvane
