#include "common/Json.h"

#include "common/Utf8Text.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace quorvane {
namespace {

std::optional<Json> exactIntegerValue(std::string_view lexeme);

// Builds a tree like nlohmann's own DOM parser, but bounds the depth and
// remembers the text of a top-level "id" number.
class BoundedDomBuilder final : public nlohmann::json_sax<Json> {
public:
    explicit BoundedDomBuilder(TopLevelIdText* idText) : idText_(idText) {}

    Json result;

    bool null() override { return put(nullptr); }
    bool boolean(bool v) override { return put(v); }
    bool number_integer(number_integer_t v) override {
        noteIdNumber([&] { return std::to_string(v); });
        return put(v);
    }
    bool number_unsigned(number_unsigned_t v) override {
        noteIdNumber([&] { return std::to_string(v); });
        return put(v);
    }
    bool number_float(number_float_t v, const string_t& lexeme) override {
        noteIdNumber([&] { return lexeme; });
        // A number written with a fraction or exponent whose value is an exact
        // 64-bit integer ("5.0", "1e3") is kept as that integer, so that no
        // reader sees a rounded double in its place.
        if (auto exact = exactIntegerValue(lexeme)) {
            return put(std::move(*exact));
        }
        return put(v);
    }
    bool string(string_t& v) override { return put(std::move(v)); }
    bool binary(binary_t&) override { return false; }

    bool start_object(std::size_t) override { return open(Json::object()); }
    bool key(string_t& k) override {
        currentKey_ = k;
        pendingKey_ = std::move(k);
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(Json::array()); }
    bool end_array() override { return close(); }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

private:
    template <class MakeText>
    void noteIdNumber(MakeText&& makeText) {
        if (idText_ != nullptr && stack_.size() == 1 && stack_.back()->is_object() && currentKey_ == "id") {
            idText_->numberLexeme = makeText();
        }
    }

    void clearIdIfTopLevelKey() {
        if (idText_ != nullptr && stack_.size() == 1 && stack_.back()->is_object() && currentKey_ == "id") {
            idText_->numberLexeme.reset();
        }
    }

    Json* place(Json&& v) {
        if (stack_.empty()) {
            result = std::move(v);
            return &result;
        }
        Json& parent = *stack_.back();
        if (parent.is_array()) {
            parent.push_back(std::move(v));
            return &parent.back();
        }
        Json& slot = parent[pendingKey_];
        slot = std::move(v);
        return &slot;
    }

    bool put(Json&& v) {
        if (!v.is_number()) {
            clearIdIfTopLevelKey();
        }
        place(std::move(v));
        return true;
    }

    bool open(Json&& container) {
        if (stack_.size() >= maxJsonDepth) {
            return false;
        }
        clearIdIfTopLevelKey();
        stack_.push_back(place(std::move(container)));
        return true;
    }

    bool close() {
        stack_.pop_back();
        currentKey_.clear();
        return true;
    }

    TopLevelIdText* idText_;
    std::vector<Json*> stack_;
    std::string pendingKey_;
    std::string currentKey_;
};

// The exact integer written by a JSON number lexeme, when its value is integral
// and fits int64 or uint64; else nullopt (a fraction, or too large).
std::optional<Json> exactIntegerValue(std::string_view lexeme) {
    std::size_t i = 0;
    const bool negative = i < lexeme.size() && lexeme[i] == '-';
    i += negative ? 1 : 0;
    std::string digits;
    long long fractionLength = 0;
    for (; i < lexeme.size() && lexeme[i] >= '0' && lexeme[i] <= '9'; ++i) {
        digits.push_back(lexeme[i]);
    }
    if (i < lexeme.size() && lexeme[i] == '.') {
        for (++i; i < lexeme.size() && lexeme[i] >= '0' && lexeme[i] <= '9'; ++i) {
            digits.push_back(lexeme[i]);
            ++fractionLength;
        }
    }
    long long exponent = 0;
    if (i < lexeme.size() && (lexeme[i] == 'e' || lexeme[i] == 'E')) {
        ++i;
        bool negativeExponent = false;
        if (i < lexeme.size() && (lexeme[i] == '+' || lexeme[i] == '-')) {
            negativeExponent = lexeme[i] == '-';
            ++i;
        }
        std::size_t exponentDigits = 0;
        for (; i < lexeme.size() && lexeme[i] >= '0' && lexeme[i] <= '9'; ++i) {
            if (++exponentDigits > 6) {
                return std::nullopt;
            }
            exponent = exponent * 10 + (lexeme[i] - '0');
        }
        exponent = negativeExponent ? -exponent : exponent;
    }
    if (i != lexeme.size()) {
        return std::nullopt;
    }
    // value = digits * 10^scale
    long long scale = exponent - fractionLength;
    while (!digits.empty() && digits.back() == '0') {
        digits.pop_back();
        ++scale;
    }
    const auto first = digits.find_first_not_of('0');
    digits = first == std::string::npos ? std::string() : digits.substr(first);
    if (digits.empty()) {
        return Json(std::int64_t{0});
    }
    if (scale < 0 || static_cast<long long>(digits.size()) + scale > 20) {
        return std::nullopt;
    }
    std::uint64_t magnitude = 0;
    for (char c : digits) {
        if (__builtin_mul_overflow(magnitude, 10u, &magnitude) ||
            __builtin_add_overflow(magnitude, static_cast<unsigned>(c - '0'), &magnitude)) {
            return std::nullopt;
        }
    }
    for (long long k = 0; k < scale; ++k) {
        if (__builtin_mul_overflow(magnitude, 10u, &magnitude)) {
            return std::nullopt;
        }
    }
    constexpr std::uint64_t int64Limit = std::uint64_t{1} << 63;
    if (negative) {
        if (magnitude > int64Limit) {
            return std::nullopt;
        }
        return Json(magnitude == int64Limit ? std::numeric_limits<std::int64_t>::min()
                                            : -static_cast<std::int64_t>(magnitude));
    }
    if (magnitude < int64Limit) {
        return Json(static_cast<std::int64_t>(magnitude));
    }
    return Json(magnitude);
}

bool treeIsWritable(const Json& root) {
    std::vector<const Json*> pending{&root};
    while (!pending.empty()) {
        const Json* v = pending.back();
        pending.pop_back();
        switch (v->type()) {
        case Json::value_t::number_float:
            if (!std::isfinite(v->get<double>())) {
                return false;
            }
            break;
        case Json::value_t::binary:
        case Json::value_t::discarded:
            return false;
        case Json::value_t::object:
        case Json::value_t::array:
            for (const auto& child : *v) {
                pending.push_back(&child);
            }
            break;
        default:
            break;
        }
    }
    return true;
}

std::string escapeSlashes(std::string text) {
    // In nlohmann's compact output a '/' can only occur inside a string.
    std::size_t count = 0;
    for (char c : text) {
        count += (c == '/');
    }
    if (count == 0) {
        return text;
    }
    std::string out;
    out.reserve(text.size() + count);
    for (char c : text) {
        if (c == '/') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    return out;
}

} // namespace

std::optional<Json> parseJson(std::string_view text, JsonTopLevel topLevel, TopLevelIdText* idText) {
    if (idText != nullptr) {
        idText->numberLexeme.reset();
    }
    BoundedDomBuilder builder(idText);
    bool ok = false;
    try {
        ok = Json::sax_parse(text.begin(), text.end(), &builder, nlohmann::detail::input_format_t::json, true,
                             false);
    } catch (...) {
        ok = false;
    }
    if (!ok) {
        if (idText != nullptr) {
            idText->numberLexeme.reset();
        }
        return std::nullopt;
    }
    if (topLevel == JsonTopLevel::containerOnly && !builder.result.is_object() &&
        !builder.result.is_array()) {
        return std::nullopt;
    }
    return std::move(builder.result);
}

std::optional<std::string> serializeJson(const Json& value) {
    if (!treeIsWritable(value)) {
        return std::nullopt;
    }
    try {
        return escapeSlashes(value.dump(-1, ' ', false, Json::error_handler_t::strict));
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<std::string> serializeJsonString(std::string_view text) {
    return serializeJson(Json(std::string(text)));
}

namespace {

// For each byte, the letter after the backslash of its escape ('u' for the
// \u00XX form), or 0 when the byte is written as it is. The same escapes as
// the tree form.
constexpr std::array<char, 256> jsonEscapes = [] {
    std::array<char, 256> table{};
    for (std::size_t byte = 0; byte < 0x20; ++byte) {
        table[byte] = 'u';
    }
    table['"'] = '"';
    table['\\'] = '\\';
    table['/'] = '/';
    table['\b'] = 'b';
    table['\f'] = 'f';
    table['\n'] = 'n';
    table['\r'] = 'r';
    table['\t'] = 't';
    return table;
}();

constexpr std::array<std::uint8_t, 256> escapedLengths = [] {
    std::array<std::uint8_t, 256> table{};
    for (std::size_t byte = 0; byte < table.size(); ++byte) {
        table[byte] = jsonEscapes[byte] == 0 ? 1 : jsonEscapes[byte] == 'u' ? 6 : 2;
    }
    return table;
}();

} // namespace

bool appendJsonString(std::string& out, std::string_view text) {
    if (!Utf8Text::isValid(text)) {
        return false;
    }
    static constexpr char hexDigits[] = "0123456789abcdef";
    // Sized once, then written through a pointer: replies escape whole
    // documents, with an escape every few bytes.
    std::size_t length = 2;
    for (const char c : text) {
        length += escapedLengths[static_cast<unsigned char>(c)];
    }
    const std::size_t start = out.size();
    out.resize(start + length);
    char* to = out.data() + start;
    *to++ = '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const char escape = jsonEscapes[byte];
        if (escape == 0) {
            *to++ = c;
            continue;
        }
        *to++ = '\\';
        *to++ = escape;
        if (escape == 'u') {
            *to++ = '0';
            *to++ = '0';
            *to++ = hexDigits[byte >> 4];
            *to++ = hexDigits[byte & 0x0F];
        }
    }
    *to = '"';
    return true;
}

namespace {

// Whether a backslash is followed by 'u' anywhere in the text. Replies hold a
// backslash every few bytes (the escaped quotes of their text content), which
// makes a search for the pair stop at each one; sixteen pairs are compared at
// a time instead.
bool holdsUnicodeEscape(std::string_view text) {
    using Bytes = unsigned char __attribute__((vector_size(16)));
    const char* bytes = text.data();
    const std::size_t size = text.size();
    std::size_t i = 0;
    for (; i + 17 <= size; i += 16) {
        Bytes here;
        Bytes next;
        std::memcpy(&here, bytes + i, sizeof here);
        std::memcpy(&next, bytes + i + 1, sizeof next);
        const auto pairs = (here == '\\') & (next == 'u');
        std::uint64_t halves[2];
        static_assert(sizeof halves == sizeof pairs);
        std::memcpy(halves, &pairs, sizeof halves);
        if ((halves[0] | halves[1]) != 0) {
            return true;
        }
    }
    for (; i + 1 < size; ++i) {
        if (bytes[i] == '\\' && bytes[i + 1] == 'u') {
            return true;
        }
    }
    return false;
}

} // namespace

bool jsonTextMayMention(std::string_view text, std::string_view word) {
    // memmem rather than find: replies hold many of the word's first byte,
    // and find stops at every one of them.
    return ::memmem(text.data(), text.size(), word.data(), word.size()) != nullptr ||
           holdsUnicodeEscape(text);
}

std::optional<std::int64_t> jsonInt64(const Json& value) {
    switch (value.type()) {
    case Json::value_t::number_integer:
        return value.get<std::int64_t>();
    case Json::value_t::number_unsigned: {
        auto u = value.get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(u);
    }
    default:
        return std::nullopt;
    }
}

const Json* jsonMember(const Json& object, std::string_view key) {
    if (!object.is_object()) {
        return nullptr;
    }
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

const std::string* jsonStringMember(const Json& object, std::string_view key) {
    const Json* m = jsonMember(object, key);
    return (m != nullptr && m->is_string()) ? m->get_ptr<const std::string*>() : nullptr;
}

const Json* jsonObjectMember(const Json& object, std::string_view key) {
    const Json* m = jsonMember(object, key);
    return (m != nullptr && m->is_object()) ? m : nullptr;
}

} // namespace quorvane
