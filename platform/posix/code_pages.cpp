#include "platform/code_pages.h"

namespace rivu::platform {
namespace {

// Latin-1: code unit n is byte n; what Latin-1 cannot hold becomes '?'.
std::string ToLatin1(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char16_t unit : text) out.push_back(unit <= 0xFF ? static_cast<char>(unit) : '?');
    return out;
}

}  // namespace

std::u16string AnsiToWide(const char* bytes, std::size_t length) {
    std::u16string out;
    if (bytes == nullptr) return out;
    out.reserve(length);  // one allocation per line, not one per doubling
    for (std::size_t i = 0; i < length && bytes[i] != '\0'; ++i) {
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i])));
    }
    return out;
}

std::string WideToAnsi(std::u16string_view text) { return ToLatin1(text); }

std::string WideToOem(std::u16string_view text) { return ToLatin1(text); }

}  // namespace rivu::platform
