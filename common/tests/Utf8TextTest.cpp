#include "common/Utf8Text.h"

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <utf8proc.h>

namespace quorvane {
namespace {

using namespace std::string_literals;

// Reference cluster boundaries of well-formed text, straight from utf8proc:
// byte offsets where a cluster starts, plus the end of the text.
std::vector<std::size_t> referenceBoundaries(const std::string& valid) {
    std::vector<std::size_t> boundaries;
    utf8proc_int32_t state = 0;
    utf8proc_int32_t previous = -1;
    std::size_t i = 0;
    while (i < valid.size()) {
        utf8proc_int32_t cp = 0;
        const auto n = utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(valid.data()) + i,
                                        static_cast<utf8proc_ssize_t>(valid.size() - i), &cp);
        if (n <= 0) {
            ADD_FAILURE() << "reference given ill-formed text";
            return boundaries;
        }
        if (previous < 0 || utf8proc_grapheme_break_stateful(previous, cp, &state)) {
            boundaries.push_back(i);
        }
        previous = cp;
        i += static_cast<std::size_t>(n);
    }
    boundaries.push_back(valid.size());
    return boundaries;
}

std::string repeat(const std::string& piece, std::size_t times) {
    std::string out;
    out.reserve(piece.size() * times);
    for (std::size_t i = 0; i < times; ++i) {
        out += piece;
    }
    return out;
}

const std::string combiningAcute = "\u0301";                                             // combining, 2 bytes
const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466"; // 25 bytes
const std::string franceFlag = "\U0001F1EB\U0001F1F7";
const std::string germanyFlag = "\U0001F1E9\U0001F1EA";
const std::string replacementChar = "\uFFFD";

// Texts that exercise every kind of cluster and every kind of ill-formed byte.
const std::vector<std::string> samples = {
    ""s,
    "plain ascii"s,
    "a\r\nb\n\rc\r"s,
    // ASCII runs broken by carriage returns, and one ending in a combining mark.
    "ab\r\ncd\r\r\nef" + combiningAcute + "gh\n\r\nij\rk",
    "caf\u00E9 \u20AC \U0001D11E"s,
    "e" + combiningAcute + combiningAcute + "x" + combiningAcute,
    combiningAcute + "lead",
    "a" + family + "b" + family,
    "\U0001F44D\U0001F3FD ok"s,
    "1\u20E3#\uFE0F\u20E3"s,
    franceFlag + germanyFlag + "\U0001F1E9x"s,
    "x" + franceFlag + "\U0001F1E9" + franceFlag,
    "\u0600"
    "1\u0600 \u0600\U0001F468"s,
    "\u1100\u1161\u11A8\uAC00\u11A8a"s,
    "\u0915\u094D\u0937\u093F"s,
    "a\xFF"
    "b\xE2\x82"
    "c\xC0\xAF"s,
    "\xFF\u0301\xE2\x82\u0301"s,
    "\xED\xA0\x80\xF4\x90\x80\x80\xF0\x9D\x84"s,
};

TEST(Utf8TextTest, IsValidAcceptsExactlyWellFormedSequences) {
    struct Case {
        std::string text;
        bool valid;
    };
    const std::vector<Case> cases = {
        {"", true},
        {"hello, world", true},
        {"\xC3\xA9", true},             // U+00E9
        {"\xE2\x82\xAC", true},         // U+20AC
        {"\xEF\xBF\xBF", true},         // U+FFFF
        {"\xF0\x9D\x84\x9E", true},     // U+1D11E
        {"\xF4\x8F\xBF\xBF", true},     // U+10FFFF
        {"\xED\x9F\xBF", true},         // U+D7FF, just below the surrogates
        {"\xEE\x80\x80", true},         // U+E000, just above them
        {std::string("a\0b", 3), true}, // NUL is a character
        {"\x80", false},                // stray continuation
        {"\xBF", false},
        {"\xC0\xAF", false},         // overlong '/'
        {"\xC1\xBF", false},         // overlong
        {"\xE0\x80\xAF", false},     // overlong
        {"\xE0\x9F\xBF", false},     // overlong
        {"\xF0\x80\x80\xAF", false}, // overlong
        {"\xF0\x8F\xBF\xBF", false}, // overlong
        {"\xED\xA0\x80", false},     // U+D800
        {"\xED\xBF\xBF", false},     // U+DFFF
        {"\xF4\x90\x80\x80", false}, // U+110000
        {"\xF5\x80\x80\x80", false},
        {"\xFE", false},
        {"\xFF", false},
        {"\xC3", false}, // truncated at the end
        {"\xE2\x82", false},
        {"\xF0\x9D\x84", false},
        {"\xC3"
         "a",
         false}, // truncated before ASCII
        {"abcdefgh\xC3\xA9"
         "abcdefgh\x80",
         false}, // after the fast ASCII path
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf8Text::isValid(c.text), c.valid) << testing::PrintToString(c.text);
    }
}

TEST(Utf8TextTest, SanitizeReplacesEachMaximalSubpart) {
    struct Case {
        std::string text;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"", ""},
        {"caf\xC3\xA9", "caf\xC3\xA9"},
        {"\x80", replacementChar},
        {"\x80\xBF", replacementChar + replacementChar},
        {"\xC0\xAF", replacementChar + replacementChar},                       // C0 never starts a sequence
        {"\xE0\x80\xAF", replacementChar + replacementChar + replacementChar}, // E0 80 is not a valid start
        {"\xED\xA0\x80", replacementChar + replacementChar + replacementChar}, // surrogate
        {"\xF4\x90\x80\x80", replacementChar + replacementChar + replacementChar + replacementChar},
        {"\xE2\x82", replacementChar}, // one truncated sequence, one replacement
        {"\xF0\x9D\x84", replacementChar},
        {"\xF0\x9D\x84x", replacementChar + "x"},
        {"\xE2\x82\xE2\x82\xAC", replacementChar + "\xE2\x82\xAC"},
        {"\xC3\xC3\xA9", replacementChar + "\xC3\xA9"},
        {"\xFF\xFE", replacementChar + replacementChar},
        // The worked example of the Unicode standard for maximal subparts.
        {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
         "a" + replacementChar + replacementChar + replacementChar + "b" + replacementChar + "c" +
             replacementChar + replacementChar + "d"},
    };
    for (const auto& c : cases) {
        const std::string out = Utf8Text::sanitize(c.text);
        EXPECT_EQ(out, c.expected) << testing::PrintToString(c.text);
        EXPECT_TRUE(Utf8Text::isValid(out));
    }
}

TEST(Utf8TextTest, GraphemeCountCountsWhatAUserSeesAsCharacters) {
    struct Case {
        std::string text;
        std::size_t count;
    };
    const std::vector<Case> cases = {
        {"", 0},
        {"abc", 3},
        {"\xC3\xA9", 1},                            // precomposed é
        {"e" + combiningAcute, 1},                  // e + combining acute
        {"e" + combiningAcute + "\u0302\u0323", 1}, // several marks
        {combiningAcute + combiningAcute, 1},       // marks with no base
        {family, 1},                                // ZWJ sequence
        {"a" + family + "a", 3},
        {"\U0001F44D\U0001F3FD", 1}, // skin-tone modifier
        {"\u2764\uFE0F", 1},         // variation selector
        {"1\u20E3", 1},              // keycap
        {franceFlag, 1},
        {franceFlag + germanyFlag, 2},
        {franceFlag + "\U0001F1E9", 2}, // odd regional indicator
        {"x" + franceFlag, 2},
        {"\r\n", 1},
        {"\n\r", 2},
        {"a\r\nb\r\n", 4},
        {"\r\r\n", 2},
        {"\u1100\u1161\u11A8", 1}, // conjoining jamo
        {"\u0600"
         "1",
         1},                          // prepend mark joins the next character
        {"\xFF\xFE", 2},              // each ill-formed byte is one U+FFFD
        {"\xE2\x82", 1},              // one truncated sequence
        {"\xFF" + combiningAcute, 1}, // U+FFFD takes the mark like any base
        {"a\xC0\xAF"
         "b",
         4},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf8Text::graphemeCount(c.text), c.count) << testing::PrintToString(c.text);
    }
}

TEST(Utf8TextTest, GraphemeCountAgreesWithUtf8procOnMixedText) {
    // Random mixes of ASCII and the characters whose rules need state, so that
    // every transition between the ASCII shortcut and utf8proc occurs.
    const std::vector<std::string> alphabet = {
        "a",      " ",      "\r",     "\n",         "\t",         "1",          "#",          combiningAcute,
        "\u200D", "\uFE0F", "\u20E3", "\U0001F468", "\U0001F3FD", "\U0001F1EB", "\U0001F1F7", "\u0600",
        "\u1100", "\u1161", "\u11A8", "\u0915",     "\u094D",     "\u00E9",     "\u2764"};
    std::mt19937 random(20240611);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> length(0, 24);
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        for (int k = length(random); k > 0; --k) {
            text += alphabet[pick(random)];
        }
        EXPECT_EQ(Utf8Text::graphemeCount(text), referenceBoundaries(text).size() - 1)
            << testing::PrintToString(text);
    }
}

TEST(Utf8TextTest, TruncateCutsOnlyBetweenClusters) {
    struct Case {
        std::string text;
        std::size_t maxGraphemes;
        std::size_t maxBytes;
        std::string expected;
    };
    const std::string eAcute = "e" + combiningAcute;
    const std::vector<Case> cases = {
        {"", 5, 5, ""},
        {"abc", 0, 100, ""},
        {"abc", 2, 100, "ab"},
        {"abc", 3, 100, "abc"},
        {"abc", 3, 3, "abc"},
        {"abc", 10, 2, "ab"},
        {"abc", 10, 0, ""},
        {eAcute + "x", 1, 100, eAcute},
        {eAcute + "x", 5, 1, ""}, // "e" alone would split the cluster
        {eAcute + "x", 5, 2, ""},
        {eAcute + "x", 5, 3, eAcute},
        {eAcute + "x", 5, 4, eAcute + "x"},
        {"\u20AC\u20AC", 5, 4, "\u20AC"}, // never half a sequence
        {"\u20AC\u20AC", 5, 5, "\u20AC"},
        {"\u20AC\u20AC", 5, 6, "\u20AC\u20AC"},
        {"\u20AC\u20AC", 5, 2, ""},
        {"\r\n\r\n", 1, 100, "\r\n"},
        {"\r\n\r\n", 5, 3, "\r\n"},
        {"\r\n\r\n", 5, 1, ""},
        {family + "a", 1, 100, family},
        {family + "a", 5, family.size(), family},
        {family + "a", 5, family.size() - 1, ""},
        {"a" + family, 5, family.size(), "a"},
        {franceFlag + germanyFlag, 1, 100, franceFlag},
        {franceFlag + germanyFlag, 5, 7, ""},
        {franceFlag + germanyFlag, 5, 8, franceFlag},
        {franceFlag + germanyFlag, 5, 15, franceFlag},
        // Ill-formed input: the result is a prefix of the sanitized text, and a
        // replacement character counts its three bytes.
        {"a\xFF"
         "b",
         2, 100, "a" + replacementChar},
        {"a\xFF"
         "b",
         5, 3, "a"},
        {"a\xFF"
         "b",
         5, 4, "a" + replacementChar},
        {"a\xFF"
         "b",
         5, 5, "a" + replacementChar + "b"},
        {"\xE2\x82", 1, 3, replacementChar},
        {"\xE2\x82\xE2\x82", 5, 3, replacementChar},
        {"\xFF" + combiningAcute + "b", 1, 100, replacementChar + combiningAcute},
        {"\xFF" + combiningAcute + "b", 5, 4, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf8Text::truncate(c.text, c.maxGraphemes, c.maxBytes), c.expected)
            << testing::PrintToString(c.text) << " max " << c.maxGraphemes << " clusters, " << c.maxBytes
            << " bytes";
    }
}

TEST(Utf8TextTest, TruncateGivesTheLongestFittingClusterPrefixForEveryBound) {
    for (const auto& text : samples) {
        const std::string clean = Utf8Text::sanitize(text);
        const std::vector<std::size_t> boundaries = referenceBoundaries(clean);
        const std::size_t clusters = boundaries.size() - 1;
        ASSERT_EQ(Utf8Text::graphemeCount(text), clusters) << testing::PrintToString(text);
        for (std::size_t maxGraphemes = 0; maxGraphemes <= clusters + 1; ++maxGraphemes) {
            for (std::size_t maxBytes = 0; maxBytes <= clean.size() + 1; ++maxBytes) {
                std::size_t best = 0;
                for (std::size_t k = 0; k < boundaries.size() && k <= maxGraphemes; ++k) {
                    if (boundaries[k] <= maxBytes) {
                        best = boundaries[k];
                    }
                }
                ASSERT_EQ(Utf8Text::truncate(text, maxGraphemes, maxBytes), clean.substr(0, best))
                    << testing::PrintToString(text) << " max " << maxGraphemes << " clusters, " << maxBytes
                    << " bytes";
            }
        }
    }
}

TEST(Utf8TextTest, OneGiantClusterIsBoundedByBytes) {
    const std::string giant = "e" + repeat(combiningAcute, 100'000); // one cluster of 200,001 bytes
    EXPECT_EQ(Utf8Text::graphemeCount(giant), 1u);
    EXPECT_EQ(Utf8Text::graphemeCount("ab" + giant + "c"), 4u);

    EXPECT_EQ(Utf8Text::truncate(giant, 4000, 256 * 1024), giant);
    EXPECT_EQ(Utf8Text::truncate(giant + "x", 1, 256 * 1024), giant);
    EXPECT_EQ(Utf8Text::truncate(giant, 4000, 1000), "");
    EXPECT_EQ(Utf8Text::truncate("ab" + giant + "c", 4000, 1000), "ab");
    EXPECT_EQ(Utf8Text::truncate("ab" + giant + "c", 4000, giant.size() + 2), "ab" + giant);

    const std::string larger = "e" + repeat(combiningAcute, 200'000); // beyond 256 KiB
    EXPECT_EQ(Utf8Text::truncate(larger, 4000, 256 * 1024), "");
    EXPECT_EQ(Utf8Text::truncate("x" + larger, 4000, 256 * 1024), "x");
}

TEST(Utf8TextTest, TruncateOfLongTextKeepsTheClusterLimit) {
    const std::string text = repeat("a\u00E9" + family + franceFlag, 5000); // 20,000 clusters
    const std::string cut = Utf8Text::truncate(text, 4000, 256 * 1024);
    EXPECT_EQ(cut, repeat("a\u00E9" + family + franceFlag, 1000));
    EXPECT_EQ(Utf8Text::graphemeCount(cut), 4000u);

    const std::string bytesBound = Utf8Text::truncate(text, 1'000'000, 1000);
    EXPECT_LE(bytesBound.size(), 1000u);
    EXPECT_TRUE(text.starts_with(bytesBound));
    EXPECT_GT(bytesBound.size(), 1000u - family.size());
}

} // namespace
} // namespace quorvane
