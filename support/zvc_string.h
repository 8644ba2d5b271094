#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace ZVC {

// Header in front of the characters of a ZVCString; its address is the COM
// object handed to the host. Layout fixed by the host:
// vtable, auxiliary buffer, a word cleared when the text changes, reference
// count, capacity and length (both counting the terminating NUL).
struct ZVCStringHeader {
    const void* const* vtable;
    void* auxiliary;
    std::uint32_t changeWord;
    std::atomic<std::uint32_t> references;
    std::uint32_t capacity;
    std::uint32_t length;
    // char16_t characters[capacity] follow.
};

// The reference-counted UTF-16 string shared with the host. A value points
// at the characters of a shared representation; copies share it, and a
// representation with more than one reference is never changed in place.
// One process-wide empty representation serves every empty value. Reference
// counting is atomic, so values may be copied on different threads.
class ZVCString {
public:
    ZVCString();
    ZVCString(std::u16string_view text);  // NOLINT: implicit by design
    ZVCString(const char16_t* text);      // NOLINT: null gives the empty string
    ZVCString(const ZVCString& other);
    ZVCString(ZVCString&& other) noexcept;
    ZVCString& operator=(const ZVCString& other);
    ZVCString& operator=(ZVCString&& other) noexcept;
    ~ZVCString();

    std::u16string_view View() const;
    const char16_t* c_str() const { return characters_; }
    std::size_t Length() const;
    bool IsEmpty() const { return Length() == 0; }

    void Assign(std::u16string_view text);
    void Append(std::u16string_view text);
    void Clear();

    // The COM object (header address) to hand to the host; stays valid while
    // this value holds its reference.
    void* Object() const;
    // Adopts one reference to an object made by ZVCString (the host may hand
    // ours back).
    static ZVCString FromObject(void* object);
    // Reads any host string object through its operations (Length, CopyTo)
    // without assuming our layout.
    static std::u16string ReadHostString(void* object);

    std::uint32_t ReferenceCount() const;  // for checks

    friend bool operator==(const ZVCString& a, const ZVCString& b) { return a.View() == b.View(); }

private:
    explicit ZVCString(char16_t* characters) : characters_(characters) {}
    char16_t* characters_;
};

}  // namespace ZVC
