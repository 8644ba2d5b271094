#include "platform/code_pages.h"

#include <windows.h>

#include <climits>
#include <cstring>

namespace rivu::platform {
namespace {

// The OEM code page of the user's default locale, read once per process.
UINT OemCodePage() {
    static const UINT codePage = [] {
        wchar_t text[8] = {};
        if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_IDEFAULTCODEPAGE, text, 8) == 0) return UINT{CP_OEMCP};
        UINT value = 0;
        for (const wchar_t* c = text; *c >= L'0' && *c <= L'9'; ++c) value = value * 10 + static_cast<UINT>(*c - L'0');
        return value != 0 ? value : UINT{CP_OEMCP};
    }();
    return codePage;
}

std::string FromWide(UINT codePage, std::u16string_view text) {
    if (text.empty() || text.size() > INT_MAX) return {};
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int units = static_cast<int>(text.size());
    const int needed = WideCharToMultiByte(codePage, 0, wide, units, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return {};
    std::string out(static_cast<std::size_t>(needed), '\0');
    const int written = WideCharToMultiByte(codePage, 0, wide, units, out.data(), needed, nullptr, nullptr);
    out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return out;
}

}  // namespace

std::u16string AnsiToWide(const char* bytes, std::size_t length) {
    if (bytes == nullptr) return {};
    const void* end = std::memchr(bytes, '\0', length);
    const std::size_t count = end != nullptr ? static_cast<std::size_t>(static_cast<const char*>(end) - bytes) : length;
    if (count == 0 || count > INT_MAX) return {};
    const int needed = MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(count), nullptr, 0);
    if (needed <= 0) return {};
    std::u16string out(static_cast<std::size_t>(needed), u'\0');
    const int written =
        MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(count), reinterpret_cast<wchar_t*>(out.data()), needed);
    out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return out;
}

std::string WideToAnsi(std::u16string_view text) { return FromWide(CP_ACP, text); }

std::string WideToOem(std::u16string_view text) { return FromWide(OemCodePage(), text); }

}  // namespace rivu::platform
