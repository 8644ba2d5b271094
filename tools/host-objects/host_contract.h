#pragma once
// The host application's class and interface identifiers and operation slots,
// written here in the host's own terms for the test host and its log
// service, and deliberately not taken from the enabler's headers: an enabler
// that asks for a wrong identifier or calls a wrong slot finds nothing here,
// and its tests fail as the real host would.
#include <algorithm>
#include <cstdint>
#include <string>

#include "support/com_call.h"
#include "support/guid.h"

namespace rivu::host {

// A GUID from its registry text form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
consteval Guid GuidFromText(const char (&text)[39]) {
    auto nibble = [](char c) -> std::uint32_t {
        if (c >= '0' && c <= '9') return static_cast<std::uint32_t>(c - '0');
        if (c >= 'A' && c <= 'F') return static_cast<std::uint32_t>(c - 'A' + 10);
        if (c >= 'a' && c <= 'f') return static_cast<std::uint32_t>(c - 'a' + 10);
        throw "not a hexadecimal digit";
    };
    auto hex = [&](int at, int digits) {
        std::uint32_t value = 0;
        for (int i = 0; i < digits; ++i) value = value * 16 + nibble(text[at + i]);
        return value;
    };
    if (text[0] != '{' || text[9] != '-' || text[14] != '-' || text[19] != '-' || text[24] != '-' || text[37] != '}') {
        throw "not a GUID in registry form";
    }
    Guid guid{hex(1, 8), static_cast<std::uint16_t>(hex(10, 4)), static_cast<std::uint16_t>(hex(15, 4)), {}};
    guid.data4[0] = static_cast<std::uint8_t>(hex(20, 2));
    guid.data4[1] = static_cast<std::uint8_t>(hex(22, 2));
    for (int i = 0; i < 6; ++i) guid.data4[2 + i] = static_cast<std::uint8_t>(hex(25 + 2 * i, 2));
    return guid;
}

inline constexpr Guid kUnknown = GuidFromText("{00000000-0000-0000-C000-000000000046}");

// The log service the host registers, its clock, and the class of the host's
// activation library.
inline constexpr Guid kLogServiceClass = GuidFromText("{4AB9F3B6-497C-4C4E-B0AD-8DDD6136FD96}");
inline constexpr Guid kLogServiceInterface = GuidFromText("{EBAD47D0-A398-11D3-80C0-005004AD3C53}");
inline constexpr Guid kClockInterface = GuidFromText("{692CB895-4020-4F07-8F2E-F543E59DFFC5}");
inline constexpr Guid kActivationClass = GuidFromText("{818DA440-8037-11D3-80BC-005004AD3C53}");

// The recording's objects.
inline constexpr Guid kSessionInterface = GuidFromText("{CD8A64F4-48D2-11D1-8D03-00C0D1570D74}");
inline constexpr Guid kSamplingInterface = GuidFromText("{864B2DE1-3F7F-11D1-9981-00C0DF492697}");
inline constexpr Guid kCommentsInterface = GuidFromText("{B8B7A576-8192-47D1-BCC0-545E6965E508}");

// Operation slots, counting QueryInterface, AddRef and Release as 0 to 2.
namespace slot {
inline constexpr int kLogWrite = 3;           // log service: (string object line)
inline constexpr int kClockTick = 3;          // clock: (uint32* referenceTick)
inline constexpr int kProxyObject = 2;        // controlling proxy: (IUnknown** out)
inline constexpr int kSessionObject = 7;      // session: (IUnknown** out)
inline constexpr int kSamplingDocument = 54;  // sampling: (int32 0, document** out)
// document: (uint32 flags, int32 channel, int32 0, string object** out)
inline constexpr int kDocumentChannelTitle = 3;
inline constexpr int kDocumentChannelCount = 4;  // document: (int32 0, int32* count)
inline constexpr int kDocumentRecordCount = 7;   // document: (int32 0, int32* records)
inline constexpr int kDocumentTimeUnit = 19;     // document: (int32 0, int32 0, double* secondsPerUnit)
inline constexpr int kCommentsAdd = 8;           // comments: (int32 channel, int32 place[2], string object*, int32 0)
// A string object: what both sides read of each other's strings.
inline constexpr int kStringLength = 3;  // () -> characters without the NUL
inline constexpr int kStringIsEmpty = 4;
inline constexpr int kStringCopyTo = 5;  // (char16_t* destination, int32 capacity) -> characters copied
inline constexpr int kStringToSystem = 6;
}  // namespace slot

// The flags the document's channel-title operation is called with.
inline constexpr std::uint32_t kChannelTitleFlags = 0xC0000000u;

// Reads a string object handed over by the enabler through its own length
// and copy operations, as the host does (empty for null).
inline std::u16string ReadStringObject(void* object) {
    if (object == nullptr) return {};
    const std::int32_t length = CallSlot<std::int32_t>(object, slot::kStringLength);
    if (length <= 0) return {};
    std::u16string text(static_cast<std::size_t>(length) + 1, u'\0');
    const std::int32_t copied = CallSlot<std::int32_t>(object, slot::kStringCopyTo, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(std::clamp(copied, 0, length)));
    return text;
}

}  // namespace rivu::host
