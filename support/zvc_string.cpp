#include "support/zvc_string.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>

#include "support/com_call.h"
#include "support/guid.h"
#include "support/hresult.h"
#include "support/system_string.h"

namespace ZVC {
namespace {

using rivu::HResult;

static_assert(sizeof(ZVCStringHeader) == 32, "the host reads the header at fixed offsets");
static_assert(alignof(ZVCStringHeader) >= alignof(char16_t));
static_assert(std::atomic<std::uint32_t>::is_always_lock_free);

// Length and capacity count the NUL and are handed to the host as int32.
constexpr std::uint32_t kMaxCapacity = std::numeric_limits<std::int32_t>::max();
constexpr std::size_t kMaxCharacters = kMaxCapacity - 1;
constexpr std::uint32_t kMinCapacity = 8;

// The process-wide empty text: never counted, never freed, never modified.
struct EmptyRepresentation {
    ZVCStringHeader header;
    char16_t characters[kMinCapacity];
};

ZVCStringHeader* HeaderOf(char16_t* characters) { return reinterpret_cast<ZVCStringHeader*>(characters) - 1; }
char16_t* CharactersOf(ZVCStringHeader* header) { return reinterpret_cast<char16_t*>(header + 1); }

ZVCStringHeader* EmptyHeader();

bool IsEmptyRepresentation(const ZVCStringHeader* header) { return header == EmptyHeader(); }

void Free(ZVCStringHeader* header) {
    std::free(header->auxiliary);
    header->~ZVCStringHeader();
    ::operator delete(header);
}

void AddReference(ZVCStringHeader* header) {
    if (!IsEmptyRepresentation(header)) header->references.fetch_add(1, std::memory_order_relaxed);
}

// Drops one reference; frees the representation with the last one. Returns
// the references left.
std::uint32_t DropReference(ZVCStringHeader* header) {
    if (IsEmptyRepresentation(header)) return header->references.load(std::memory_order_relaxed);
    std::uint32_t left = header->references.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) Free(header);
    return left;
}

// A new representation holding one reference, room for capacity units
// (NUL included) and the given text.
ZVCStringHeader* Allocate(std::u16string_view text, std::size_t capacity) {
    if (text.size() > kMaxCharacters) throw std::length_error("ZVCString too long");
    capacity = std::clamp<std::size_t>(capacity, std::max<std::size_t>(text.size() + 1, kMinCapacity), kMaxCapacity);
    void* memory = ::operator new(sizeof(ZVCStringHeader) + capacity * sizeof(char16_t));
    auto* header = new (memory) ZVCStringHeader{EmptyHeader()->vtable,
                                                nullptr,
                                                0,
                                                1,
                                                static_cast<std::uint32_t>(capacity),
                                                static_cast<std::uint32_t>(text.size() + 1)};
    char16_t* characters = CharactersOf(header);
    if (!text.empty()) std::memcpy(characters, text.data(), text.size() * sizeof(char16_t));
    characters[text.size()] = u'\0';
    return header;
}

// The operations of the object, in COM slot order.

HResult ObjectQueryInterface(void* self, const rivu::Guid* iid, void** out) {
    if (out == nullptr) return rivu::kPointer;
    if (iid != nullptr && *iid == rivu::kIID_IUnknown) {
        AddReference(static_cast<ZVCStringHeader*>(self));
        *out = self;
        return rivu::kOk;
    }
    *out = nullptr;
    return rivu::kNoInterface;
}

std::uint32_t ObjectAddRef(void* self) {
    auto* header = static_cast<ZVCStringHeader*>(self);
    if (IsEmptyRepresentation(header)) return header->references.load(std::memory_order_relaxed);
    return header->references.fetch_add(1, std::memory_order_relaxed) + 1;
}

std::uint32_t ObjectRelease(void* self) { return DropReference(static_cast<ZVCStringHeader*>(self)); }

std::int32_t ObjectLength(void* self) {
    return static_cast<std::int32_t>(static_cast<ZVCStringHeader*>(self)->length - 1);
}

std::int32_t ObjectIsEmpty(void* self) { return static_cast<ZVCStringHeader*>(self)->length <= 1 ? 1 : 0; }

std::int32_t ObjectCopyTo(void* self, char16_t* destination, std::int32_t capacity) {
    if (destination == nullptr || capacity <= 0) return 0;
    auto* header = static_cast<ZVCStringHeader*>(self);
    std::uint32_t count = std::min<std::uint32_t>(header->length - 1, static_cast<std::uint32_t>(capacity) - 1);
    std::memcpy(destination, CharactersOf(header), count * sizeof(char16_t));
    destination[count] = u'\0';
    return static_cast<std::int32_t>(count);
}

void* ObjectToSystemString(void* self) {
    auto* header = static_cast<ZVCStringHeader*>(self);
    return rivu::AllocateSystemString(CharactersOf(header), header->length - 1);
}

ZVCStringHeader* EmptyHeader() {
    static const void* const operations[] = {
        reinterpret_cast<const void*>(&ObjectQueryInterface), reinterpret_cast<const void*>(&ObjectAddRef),
        reinterpret_cast<const void*>(&ObjectRelease),        reinterpret_cast<const void*>(&ObjectLength),
        reinterpret_cast<const void*>(&ObjectIsEmpty),        reinterpret_cast<const void*>(&ObjectCopyTo),
        reinterpret_cast<const void*>(&ObjectToSystemString),
    };
    static EmptyRepresentation empty{{operations, nullptr, 0, 1, kMinCapacity, 1}, {}};
    return &empty.header;
}

}  // namespace

ZVCString::ZVCString() : characters_(CharactersOf(EmptyHeader())) {}

ZVCString::ZVCString(std::u16string_view text)
    : characters_(text.empty() ? CharactersOf(EmptyHeader()) : CharactersOf(Allocate(text, 0))) {}

ZVCString::ZVCString(const char16_t* text)
    : ZVCString(text == nullptr ? std::u16string_view() : std::u16string_view(text)) {}

ZVCString::ZVCString(const ZVCString& other) : characters_(other.characters_) { AddReference(HeaderOf(characters_)); }

ZVCString::ZVCString(ZVCString&& other) noexcept : characters_(other.characters_) {
    other.characters_ = CharactersOf(EmptyHeader());
}

ZVCString& ZVCString::operator=(const ZVCString& other) {
    if (characters_ != other.characters_) {
        AddReference(HeaderOf(other.characters_));
        DropReference(HeaderOf(characters_));
        characters_ = other.characters_;
    }
    return *this;
}

ZVCString& ZVCString::operator=(ZVCString&& other) noexcept {
    if (this != &other) {
        DropReference(HeaderOf(characters_));
        characters_ = other.characters_;
        other.characters_ = CharactersOf(EmptyHeader());
    }
    return *this;
}

ZVCString::~ZVCString() { DropReference(HeaderOf(characters_)); }

std::u16string_view ZVCString::View() const { return {characters_, Length()}; }

std::size_t ZVCString::Length() const { return HeaderOf(characters_)->length - 1; }

void ZVCString::Assign(std::u16string_view text) {
    ZVCStringHeader* header = HeaderOf(characters_);
    bool unique = !IsEmptyRepresentation(header) && header->references.load(std::memory_order_acquire) == 1;
    if (text.empty()) {
        Clear();
    } else if (unique && text.size() < header->capacity) {
        // Sole owner with room: rewrite in place (the text may lie inside this buffer).
        std::memmove(characters_, text.data(), text.size() * sizeof(char16_t));
        characters_[text.size()] = u'\0';
        header->length = static_cast<std::uint32_t>(text.size() + 1);
        header->changeWord = 0;
    } else {
        ZVCStringHeader* replacement = Allocate(text, 0);
        DropReference(header);
        characters_ = CharactersOf(replacement);
    }
}

void ZVCString::Append(std::u16string_view text) {
    if (text.empty()) return;
    ZVCStringHeader* header = HeaderOf(characters_);
    std::size_t oldLength = Length();
    if (text.size() > kMaxCharacters - oldLength) throw std::length_error("ZVCString too long");
    std::size_t newLength = oldLength + text.size();
    bool unique = !IsEmptyRepresentation(header) && header->references.load(std::memory_order_acquire) == 1;
    if (unique && newLength < header->capacity) {
        std::memmove(characters_ + oldLength, text.data(), text.size() * sizeof(char16_t));
        characters_[newLength] = u'\0';
        header->length = static_cast<std::uint32_t>(newLength + 1);
        header->changeWord = 0;
        return;
    }
    // Shared or full: build the joined text in a new representation, growing
    // geometrically so repeated appends stay linear. The old one (which text
    // may point into) is dropped only afterwards.
    ZVCStringHeader* replacement =
        Allocate(View(), std::max<std::size_t>(newLength + 1, 2 * std::size_t{header->capacity}));
    std::memcpy(CharactersOf(replacement) + oldLength, text.data(), text.size() * sizeof(char16_t));
    CharactersOf(replacement)[newLength] = u'\0';
    replacement->length = static_cast<std::uint32_t>(newLength + 1);
    DropReference(header);
    characters_ = CharactersOf(replacement);
}

void ZVCString::Clear() {
    DropReference(HeaderOf(characters_));
    characters_ = CharactersOf(EmptyHeader());
}

void* ZVCString::Object() const { return HeaderOf(characters_); }

ZVCString ZVCString::FromObject(void* object) {
    if (object == nullptr) return ZVCString();
    return ZVCString(CharactersOf(static_cast<ZVCStringHeader*>(object)));
}

std::u16string ZVCString::ReadHostString(void* object) {
    if (object == nullptr) return {};
    std::int32_t length = rivu::CallSlot<std::int32_t>(object, 3);
    if (length <= 0) return {};
    // The buffer size is handed over as int32 and counts the NUL.
    length = std::min(length, static_cast<std::int32_t>(kMaxCharacters));
    std::u16string text(static_cast<std::size_t>(length) + 1, u'\0');
    std::int32_t copied = rivu::CallSlot<std::int32_t>(object, 5, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(std::clamp(copied, 0, length)));
    return text;
}

std::uint32_t ZVCString::ReferenceCount() const {
    return HeaderOf(characters_)->references.load(std::memory_order_relaxed);
}

}  // namespace ZVC
