#include "common/Utf8Text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include <utf8proc.h>

namespace quorvane::Utf8Text {
namespace {

constexpr char32_t replacementCodepoint = 0xFFFD;
constexpr char replacementUtf8[] = "\xEF\xBF\xBD";
constexpr std::size_t replacementLength = 3;

// One step of decoding: a well-formed scalar value, or one ill-formed
// sequence (the maximal subpart of a well-formed sequence, at least one byte).
struct Unit {
    char32_t codepoint; // replacementCodepoint for an ill-formed sequence
    std::size_t length; // input bytes consumed, >= 1
    bool valid;
};

constexpr bool inRange(unsigned char c, unsigned char lo, unsigned char hi) {
    return c >= lo && c <= hi;
}

// Decodes the unit at p (n >= 1 bytes available) by the table of well-formed
// UTF-8 byte sequences. An ill-formed unit ends at the first byte that cannot
// continue the sequence; that byte is not consumed.
inline Unit decode(const unsigned char* p, std::size_t n) {
    const unsigned char b0 = p[0];
    if (b0 < 0x80) {
        return {b0, 1, true};
    }
    std::size_t need;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    char32_t cp;
    if (inRange(b0, 0xC2, 0xDF)) {
        need = 1;
        cp = b0 & 0x1F;
    } else if (inRange(b0, 0xE0, 0xEF)) {
        need = 2;
        cp = b0 & 0x0F;
        if (b0 == 0xE0) {
            lo = 0xA0; // no overlongs
        } else if (b0 == 0xED) {
            hi = 0x9F; // no surrogates
        }
    } else if (inRange(b0, 0xF0, 0xF4)) {
        need = 3;
        cp = b0 & 0x07;
        if (b0 == 0xF0) {
            lo = 0x90; // no overlongs
        } else if (b0 == 0xF4) {
            hi = 0x8F; // nothing above U+10FFFF
        }
    } else {
        return {replacementCodepoint, 1, false}; // stray continuation byte, C0, C1 or F5..FF
    }
    std::size_t i = 1;
    for (; i <= need; ++i) {
        if (i >= n || !inRange(p[i], lo, hi)) {
            return {replacementCodepoint, i, false};
        }
        cp = (cp << 6) | (p[i] & 0x3F);
        lo = 0x80;
        hi = 0xBF;
    }
    return {cp, i, true};
}

// Length of the leading run of ASCII bytes.
inline std::size_t asciiPrefix(const unsigned char* p, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, 8);
        if ((word & 0x8080808080808080ULL) != 0) {
            break;
        }
    }
    while (i < n && p[i] < 0x80) {
        ++i;
    }
    return i;
}

// Finds extended grapheme cluster boundaries in a stream of scalar values.
// Pairs of ASCII characters are decided directly (the only ASCII pair that
// stays together is CR LF); every other pair goes to utf8proc with its state,
// which after an ASCII character is just that character's break class.
class ClusterBreaker {
public:
    // Whether a cluster starts at `cp` (always true for the first one).
    bool startsCluster(char32_t cp) {
        if (first_) {
            first_ = false;
            previous_ = cp;
            return true;
        }
        bool isBreak;
        if (previous_ < 0x80 && cp < 0x80) {
            isBreak = !(previous_ == U'\r' && cp == U'\n');
        } else {
            if (previous_ < 0x80) {
                state_ = utf8proc_get_property(static_cast<utf8proc_int32_t>(previous_))->boundclass;
            }
            isBreak = utf8proc_grapheme_break_stateful(static_cast<utf8proc_int32_t>(previous_),
                                                       static_cast<utf8proc_int32_t>(cp), &state_);
        }
        previous_ = cp;
        return isBreak;
    }

    // Passes over ASCII characters known to start clusters of their own, of
    // which `last` is the last.
    void skipAscii(char32_t last) {
        first_ = false;
        previous_ = last;
    }

private:
    bool first_ = true;
    char32_t previous_ = 0;
    utf8proc_int32_t state_ = UTF8PROC_BOUNDCLASS_START;
};

} // namespace

bool isValid(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        i += asciiPrefix(p + i, n - i);
        if (i == n) {
            break;
        }
        const Unit u = decode(p + i, n - i);
        if (!u.valid) {
            return false;
        }
        i += u.length;
    }
    return true;
}

std::string sanitize(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::string out;
    std::size_t copied = 0; // input bytes [0, copied) are already in `out`
    std::size_t i = 0;
    while (i < n) {
        i += asciiPrefix(p + i, n - i);
        if (i == n) {
            break;
        }
        const Unit u = decode(p + i, n - i);
        if (!u.valid) {
            if (out.empty()) {
                out.reserve(n + 16);
            }
            out.append(text.data() + copied, i - copied);
            out.append(replacementUtf8, replacementLength);
            copied = i + u.length;
        }
        i += u.length;
    }
    if (copied == 0) {
        return std::string(text);
    }
    out.append(text.data() + copied, n - copied);
    return out;
}

std::size_t graphemeCount(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    ClusterBreaker breaker;
    std::size_t count = 0;
    for (std::size_t i = 0; i < n;) {
        const Unit u = decode(p + i, n - i);
        count += breaker.startsCluster(u.codepoint) ? 1 : 0;
        i += u.length;
    }
    return count;
}

std::string truncate(std::string_view text, std::size_t maxGraphemes, std::size_t maxBytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    if (n <= maxGraphemes) {
        // No more clusters than bytes: only the byte bound can cut, and no
        // cluster needs finding when the whole fits.
        std::string whole = sanitize(text);
        if (whole.size() <= maxBytes) {
            return whole;
        }
    }
    ClusterBreaker breaker;
    std::size_t clusters = 0; // clusters started so far
    std::size_t outBytes = 0; // size of the sanitized text up to i
    std::size_t cutInput = 0; // input offset of the last cluster start
    bool fitsWhole = true;
    for (std::size_t i = 0; i < n;) {
        const Unit u = decode(p + i, n - i);
        if (breaker.startsCluster(u.codepoint)) {
            cutInput = i;
            if (clusters == maxGraphemes) {
                fitsWhole = false;
                break;
            }
            ++clusters;
        }
        outBytes += u.valid ? u.length : replacementLength;
        if (outBytes > maxBytes) {
            // The current cluster does not fit: the result ends where it starts.
            fitsWhole = false;
            break;
        }
        i += u.length;
        if (u.codepoint < 0x80 && u.codepoint != U'\r') {
            // After an ASCII character, each ASCII character up to the next
            // carriage return starts a cluster: as many as the bounds allow are
            // taken at once.
            std::size_t take =
                std::min({asciiPrefix(p + i, n - i), maxBytes - outBytes, maxGraphemes - clusters});
            if (const void* cr = std::memchr(p + i, '\r', take)) {
                take = static_cast<std::size_t>(static_cast<const unsigned char*>(cr) - (p + i));
            }
            if (take > 0) {
                clusters += take;
                outBytes += take;
                i += take;
                cutInput = i - 1;
                breaker.skipAscii(p[i - 1]);
            }
        }
    }
    // Every cut lies between decoded units, so sanitizing the prefix gives
    // exactly the same bytes as the prefix of the sanitized whole.
    return sanitize(fitsWhole ? text : text.substr(0, cutInput));
}

} // namespace quorvane::Utf8Text
