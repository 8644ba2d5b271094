#include "protocol/fields.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace rivu {

std::vector<std::u16string> SplitFields(std::u16string_view line) {
    std::vector<std::u16string> fields;
    std::size_t start = 0;
    while (start < line.size()) {
        std::size_t comma = line.find(u',', start);
        if (comma == std::u16string_view::npos) {
            fields.emplace_back(line.substr(start));
            break;
        }
        fields.emplace_back(line.substr(start, comma - start));
        start = comma + 1;  // a comma at the very end leaves start == size: no empty last field
    }
    return fields;
}

std::size_t CountFields(std::u16string_view line) {
    if (line.empty()) return 0;
    std::size_t count = 1;
    for (char16_t c : line) count += c == u',' ? 1 : 0;
    return line.back() == u',' ? count - 1 : count;
}

namespace {

// White space as the C locale's isspace sees it.
template <typename Char>
bool IsCSpace(Char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

char ToLowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Case-insensitive test that text starts with word (word is lower case).
bool StartsWithWord(std::string_view text, std::string_view word) {
    if (text.size() < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (ToLowerAscii(text[i]) != word[i]) return false;
    }
    return true;
}

// A number that from_chars found too large or too small for a float: infinity
// when it overflowed, 0 when it underflowed, as strtof gives. The mantissa's
// order of magnitude plus the exponent tells which.
float OutOfRangeValue(std::string_view number, bool hex) {
    const int digitWeight = hex ? 4 : 1;  // hexadecimal digits count 4 binary places
    std::int64_t order = 0;
    bool nonZeroSeen = false;
    bool afterPoint = false;
    std::size_t pos = 0;
    for (; pos < number.size(); ++pos) {
        char c = number[pos];
        if (c == '.') {
            afterPoint = true;
            continue;
        }
        bool digit = hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0 : (c >= '0' && c <= '9');
        if (!digit) break;
        if (c != '0') nonZeroSeen = true;
        if (!afterPoint && nonZeroSeen) order += digitWeight;
        if (afterPoint && !nonZeroSeen) order -= digitWeight;
    }
    if (pos < number.size()) order += ParseInteger(number.substr(pos + 1));  // the exponent
    return order > 0 ? std::numeric_limits<float>::infinity() : 0.0f;
}

// strtof in the classic locale: optional white space and sign, then a decimal
// or "0x" hexadecimal number, "inf"/"infinity" or "nan"; 0 when none.
float ParseClassicFloat(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size() && IsCSpace(text[pos])) ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    std::string_view rest = text.substr(pos);
    float value = 0.0f;
    if (StartsWithWord(rest, "inf")) {
        value = std::numeric_limits<float>::infinity();
    } else if (StartsWithWord(rest, "nan")) {
        value = std::numeric_limits<float>::quiet_NaN();
    } else {
        std::chars_format format = std::chars_format::general;
        const char* first = rest.data();
        const char* last = rest.data() + rest.size();
        if (rest.size() > 2 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X')) {
            format = std::chars_format::hex;
            first += 2;
        }
        if (first != last && *first == '-') {
            value = 0.0f;  // a second sign: not a number (from_chars would take it)
        } else {
            auto [end, error] = std::from_chars(first, last, value, format);
            if (error == std::errc::result_out_of_range) {
                value = OutOfRangeValue(std::string_view(first, static_cast<std::size_t>(end - first)),
                                        format == std::chars_format::hex);
            } else if (error != std::errc()) {
                value = 0.0f;  // no digits ("0x" alone reads as the 0 in front of the x)
            }
        }
    }
    return negative ? -value : value;
}

}  // namespace

namespace {

// Powers of ten that a float holds exactly (5^10 < 2^24).
constexpr float kExactPowersOfTen[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
constexpr std::uint32_t kLargestExactMantissa = 1u << 24;

// The way instruments write values: an optional minus sign, digits, and
// optionally a point with more digits, filling the whole field. When its
// digits as an integer m fit a float exactly (m <= 2^24) and it has at most
// ten decimals k, m / 10^k is one division of two exact floats, which IEEE
// arithmetic rounds correctly: the float strtof gives. Anything else is left
// to the general reader (false).
bool ParsePlainDecimal(std::u16string_view field, float& value) {
    std::size_t pos = 0;
    const bool negative = !field.empty() && field[0] == u'-';
    if (negative) ++pos;
    std::uint32_t mantissa = 0;
    std::size_t integerDigits = 0;
    for (; pos < field.size() && field[pos] >= u'0' && field[pos] <= u'9'; ++pos, ++integerDigits) {
        mantissa = mantissa * 10 + static_cast<std::uint32_t>(field[pos] - u'0');
        if (mantissa > kLargestExactMantissa) return false;
    }
    if (integerDigits == 0) return false;
    std::size_t decimals = 0;
    if (pos < field.size() && field[pos] == u'.') {
        for (++pos; pos < field.size() && field[pos] >= u'0' && field[pos] <= u'9'; ++pos, ++decimals) {
            mantissa = mantissa * 10 + static_cast<std::uint32_t>(field[pos] - u'0');
            if (mantissa > kLargestExactMantissa || decimals == std::size(kExactPowersOfTen) - 1) return false;
        }
        if (decimals == 0) return false;
    }
    if (pos != field.size()) return false;
    const float magnitude = static_cast<float>(mantissa) / kExactPowersOfTen[decimals];
    value = negative ? -magnitude : magnitude;
    return true;
}

}  // namespace

float ParseNumber(std::u16string_view field) {
    // Every data value passes here: the common form is read directly.
    float value = 0.0f;
    if (ParsePlainDecimal(field, value)) return value;
    // A number is plain ASCII; any other code unit ends it, so it is narrowed
    // to a byte that is never part of a number.
    std::string narrow;
    narrow.reserve(field.size());
    for (char16_t unit : field) {
        narrow.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    return ParseClassicFloat(narrow);
}

namespace {

template <typename Char>
std::int32_t ParseLeadingInteger(std::basic_string_view<Char> text) {
    std::size_t pos = 0;
    while (pos < text.size() && IsCSpace(text[pos])) ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    // Accumulated as a negative number so that INT32_MIN is reachable.
    constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
    std::int64_t value = 0;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
        value = value * 10 - (text[pos] - '0');
        if (value < kMin) value = kMin - 1;  // saturated; keep reading the digits
    }
    if (negative) return value < kMin ? static_cast<std::int32_t>(kMin) : static_cast<std::int32_t>(value);
    if (-value > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(-value);
}

}  // namespace

std::int32_t ParseInteger(std::string_view text) { return ParseLeadingInteger(text); }
std::int32_t ParseInteger(std::u16string_view text) { return ParseLeadingInteger(text); }

}  // namespace rivu
