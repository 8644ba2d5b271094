#include "support/zvc_string.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/com_call.h"
#include "support/guid.h"
#include "support/system_string.h"
#include "tools/host-objects/host_contract.h"

namespace {

using ZVC::ZVCString;
using ZVC::ZVCStringHeader;

ZVCStringHeader* Header(const ZVCString& s) { return static_cast<ZVCStringHeader*>(s.Object()); }

// What another module sees: the object pointer and its operation table, nothing else.
std::int32_t ObjectLength(void* object) { return rivu::CallSlot<std::int32_t>(object, 3); }
std::int32_t ObjectIsEmpty(void* object) { return rivu::CallSlot<std::int32_t>(object, 4); }
std::int32_t ObjectCopyTo(void* object, char16_t* dst, std::int32_t capacity) {
    return rivu::CallSlot<std::int32_t>(object, 5, dst, capacity);
}
void* ObjectToSystemString(void* object) { return rivu::CallSlot<void*>(object, 6); }

TEST(ZVCStringLayout, HeaderDescribesTheCharactersThatFollowIt) {
    ZVCString s(u"abc");
    ZVCStringHeader* h = Header(s);
    EXPECT_EQ(reinterpret_cast<const char*>(s.c_str()), reinterpret_cast<const char*>(h) + 32);
    EXPECT_EQ(h->length, 4u);  // NUL counted
    EXPECT_GE(h->capacity, 8u);
    EXPECT_GE(h->capacity, h->length);
    EXPECT_EQ(h->references.load(), 1u);
    EXPECT_EQ(h->auxiliary, nullptr);
    EXPECT_EQ(s.c_str()[3], u'\0');

    ZVCString longer(std::u16string(100, u'x'));
    EXPECT_EQ(Header(longer)->length, 101u);
    EXPECT_GE(Header(longer)->capacity, 101u);
    EXPECT_EQ(Header(longer)->vtable, h->vtable);
}

TEST(ZVCStringSharing, CopiesShareOneRepresentationAndCountReferences) {
    ZVCString a(u"shared text");
    {
        ZVCString b = a;
        ZVCString c;
        c = b;
        EXPECT_EQ(a.c_str(), b.c_str());
        EXPECT_EQ(a.c_str(), c.c_str());
        EXPECT_EQ(a.ReferenceCount(), 3u);
        c = c;  // self-assignment keeps the reference
        EXPECT_EQ(a.ReferenceCount(), 3u);
    }
    EXPECT_EQ(a.ReferenceCount(), 1u);

    ZVCString moved = std::move(a);
    EXPECT_EQ(moved.View(), u"shared text");
    EXPECT_EQ(moved.ReferenceCount(), 1u);
    EXPECT_TRUE(a.IsEmpty());  // NOLINT: a moved-from value is the empty string
}

TEST(ZVCStringSharing, ChangingOneCopyNeverChangesAnother) {
    ZVCString original(u"base");
    ZVCString appended = original;
    appended.Append(u"+more");
    EXPECT_EQ(original.View(), u"base");
    EXPECT_EQ(appended.View(), u"base+more");
    EXPECT_EQ(original.ReferenceCount(), 1u);

    ZVCString assigned = original;
    assigned.Assign(u"xy");  // fits in place, but the representation is shared
    EXPECT_EQ(original.View(), u"base");
    EXPECT_EQ(assigned.View(), u"xy");

    ZVCString cleared = original;
    cleared.Clear();
    EXPECT_EQ(original.View(), u"base");
    EXPECT_TRUE(cleared.IsEmpty());
}

TEST(ZVCStringSharing, TextHeldByTheHostIsNotChangedBehindItsBack) {
    ZVCString line(u"first");
    void* object = line.Object();
    rivu::AddRef(object);  // the host keeps the line
    line.Append(u" and second");
    EXPECT_EQ(ZVCString::ReadHostString(object), u"first");
    EXPECT_EQ(line.View(), u"first and second");
    EXPECT_EQ(rivu::Release(object), 0u);  // the host's reference was the last one
}

TEST(ZVCStringChanges, SoleOwnerChangesClearTheChangeWordAndKeepTheText) {
    ZVCString s(u"ab");
    Header(s)->changeWord = 0x1234;
    s.Append(u"cd");
    EXPECT_EQ(Header(s)->changeWord, 0u);
    EXPECT_EQ(s.View(), u"abcd");

    Header(s)->changeWord = 0x1234;
    s.Assign(u"xyz");
    EXPECT_EQ(Header(s)->changeWord, 0u);
    EXPECT_EQ(s.View(), u"xyz");
    EXPECT_EQ(Header(s)->length, 4u);

    // Repeated growth past the capacity keeps every character.
    std::u16string expected = u"xyz";
    for (int i = 0; i < 200; ++i) {
        s.Append(u"0123456789");
        expected += u"0123456789";
    }
    EXPECT_EQ(s.View(), expected);
    EXPECT_EQ(s.c_str()[s.Length()], u'\0');
}

TEST(ZVCStringChanges, TextTakenFromItselfSurvivesTheChange) {
    ZVCString s(u"abcdef");
    s.Append(s.View());  // needs a larger buffer: the source is the old one
    EXPECT_EQ(s.View(), u"abcdefabcdef");
    s.Assign(s.View().substr(3, 4));  // in place, overlapping
    EXPECT_EQ(s.View(), u"defa");
    ZVCString small(u"ab");
    small.Append(small.View());  // in place
    EXPECT_EQ(small.View(), u"abab");
}

TEST(ZVCStringEmpty, EveryEmptyValueIsTheOneSharedEmptyString) {
    ZVCString byDefault;
    ZVCString fromNull(static_cast<const char16_t*>(nullptr));
    ZVCString fromEmpty(u"");
    ZVCString cleared(u"text");
    cleared.Clear();
    ZVCString assignedEmpty(u"text");
    assignedEmpty.Assign(u"");
    for (const ZVCString* s : {&fromNull, &fromEmpty, &cleared, &assignedEmpty}) {
        EXPECT_EQ(s->c_str(), byDefault.c_str());
        EXPECT_EQ(s->Length(), 0u);
        EXPECT_EQ(s->c_str()[0], u'\0');
    }
    EXPECT_GE(Header(byDefault)->capacity, 8u);
    EXPECT_EQ(Header(byDefault)->length, 1u);
}

TEST(ZVCStringEmpty, TheEmptyStringIsNeverFreedOrChanged) {
    ZVCString empty;
    void* object = empty.Object();
    for (int i = 0; i < 10; ++i) rivu::Release(object);  // a careless host
    ZVCString adopted = ZVCString::FromObject(object);
    EXPECT_TRUE(adopted.IsEmpty());
    std::uint32_t count = empty.ReferenceCount();
    { ZVCString copies[4] = {empty, empty, empty, empty}; }
    EXPECT_EQ(empty.ReferenceCount(), count);

    ZVCString grown;
    grown.Append(u"x");
    EXPECT_EQ(grown.View(), u"x");
    EXPECT_NE(grown.c_str(), empty.c_str());
    EXPECT_TRUE(ZVCString().IsEmpty());
    EXPECT_EQ(ObjectIsEmpty(object), 1);
}

TEST(ZVCStringEmpty, TooLongTextIsRefusedWithoutTouchingIt) {
    static const char16_t one = u'x';
    // Only the size is looked at: the refusal comes before any character is read.
    std::u16string_view huge(&one, std::size_t{0x80000000u});
    EXPECT_THROW(ZVCString{huge}, std::length_error);
    ZVCString s(u"kept");
    EXPECT_THROW(s.Append(huge), std::length_error);
    EXPECT_THROW(s.Assign(huge), std::length_error);
    EXPECT_EQ(s.View(), u"kept");
}

TEST(ZVCStringObject, OperationsThroughTheTableOnly) {
    ZVCString s(u"hello");
    void* object = s.Object();
    EXPECT_EQ(ObjectLength(object), 5);
    EXPECT_EQ(ObjectIsEmpty(object), 0);
    EXPECT_EQ(ObjectLength(ZVCString().Object()), 0);

    char16_t buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_EQ(ObjectCopyTo(object, buffer, 8), 5);
    EXPECT_EQ(std::u16string_view(buffer), u"hello");

    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_EQ(ObjectCopyTo(object, buffer, 3), 2);  // two characters and the NUL
    EXPECT_EQ(std::u16string_view(buffer), u"he");
    EXPECT_EQ(buffer[3], u'#');

    EXPECT_EQ(ObjectCopyTo(object, buffer, 1), 0);
    EXPECT_EQ(buffer[0], u'\0');
    buffer[0] = u'#';
    EXPECT_EQ(ObjectCopyTo(object, buffer, 0), 0);
    EXPECT_EQ(ObjectCopyTo(object, buffer, -5), 0);
    EXPECT_EQ(ObjectCopyTo(object, nullptr, 8), 0);
    EXPECT_EQ(buffer[0], u'#');
}

TEST(ZVCStringObject, QueryInterfaceAnswersOnlyIUnknown) {
    ZVCString s(u"q");
    void* object = s.Object();
    void* out = nullptr;
    EXPECT_EQ(rivu::QueryInterface(object, rivu::kIID_IUnknown, &out), rivu::kOk);
    EXPECT_EQ(out, object);
    EXPECT_EQ(s.ReferenceCount(), 2u);
    EXPECT_EQ(rivu::Release(out), 1u);

    out = &s;
    EXPECT_EQ(rivu::QueryInterface(object, rivu::host::kLogServiceInterface, &out), rivu::kNoInterface);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(rivu::CallSlot<rivu::HResult>(object, 0, &rivu::kIID_IUnknown, static_cast<void**>(nullptr)),
              rivu::kPointer);
    EXPECT_EQ(s.ReferenceCount(), 1u);
}

TEST(ZVCStringObject, ReferencesHandedAcrossAreAdoptedAndReleased) {
    void* object = nullptr;
    {
        ZVCString s(u"travels");
        object = s.Object();
        EXPECT_EQ(rivu::AddRef(object), 2u);
    }
    ZVCString back = ZVCString::FromObject(object);  // adopts the host's reference
    EXPECT_EQ(back.View(), u"travels");
    EXPECT_EQ(back.ReferenceCount(), 1u);
    EXPECT_TRUE(ZVCString::FromObject(nullptr).IsEmpty());
}

TEST(ZVCStringObject, SystemStringIsAnIndependentTerminatedCopy) {
    ZVCString s(u"sys");
    auto* copy = static_cast<char16_t*>(ObjectToSystemString(s.Object()));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::u16string_view(copy), u"sys");
    EXPECT_NE(copy, s.c_str());
    rivu::FreeSystemString(copy);

    auto* empty = static_cast<char16_t*>(ObjectToSystemString(ZVCString().Object()));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], u'\0');
    rivu::FreeSystemString(empty);
}

// A string object of another module: its own layout, only slots 3 and 5 agree.
struct ForeignString {
    const void* const* vtable;
    std::int32_t claimedLength;
    std::u16string text;
};
std::int32_t ForeignLength(void* self) { return static_cast<ForeignString*>(self)->claimedLength; }
std::int32_t ForeignCopyTo(void* self, char16_t* dst, std::int32_t capacity) {
    auto* s = static_cast<ForeignString*>(self);
    if (dst == nullptr || capacity <= 0) return 0;
    std::int32_t n = std::min<std::int32_t>(static_cast<std::int32_t>(s->text.size()), capacity - 1);
    std::memcpy(dst, s->text.data(), n * sizeof(char16_t));
    dst[n] = u'\0';
    return n;
}
const void* const kForeignTable[] = {nullptr, nullptr,
                                     nullptr, reinterpret_cast<const void*>(&ForeignLength),
                                     nullptr, reinterpret_cast<const void*>(&ForeignCopyTo)};

TEST(ZVCStringObject, HostStringsAreReadThroughTheirOperations) {
    ForeignString title{kForeignTable, 9, u"Channel 1"};
    EXPECT_EQ(ZVCString::ReadHostString(&title), u"Channel 1");

    ForeignString shrinking{kForeignTable, 20, u"short"};  // copies fewer than it claimed
    EXPECT_EQ(ZVCString::ReadHostString(&shrinking), u"short");

    ForeignString growing{kForeignTable, 3, u"longer text"};  // never more than asked for
    EXPECT_EQ(ZVCString::ReadHostString(&growing), u"lon");

    ForeignString negative{kForeignTable, -4, u"ignored"};
    EXPECT_EQ(ZVCString::ReadHostString(&negative), u"");
    EXPECT_EQ(ZVCString::ReadHostString(nullptr), u"");

    ZVCString ours(u"ours too");
    EXPECT_EQ(ZVCString::ReadHostString(ours.Object()), u"ours too");
}

TEST(ZVCStringThreads, CountingFromManyThreadsLosesNoReference) {
    ZVCString shared(u"counted from many threads");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&shared] {
            for (int i = 0; i < 20000; ++i) {
                ZVCString copy = shared;
                void* object = copy.Object();
                rivu::AddRef(object);
                ZVCString adopted = ZVCString::FromObject(object);
                copy.Append(u"!");  // shared: must copy, never write into the shared text
                ASSERT_EQ(adopted.View(), u"counted from many threads");
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(shared.ReferenceCount(), 1u);
    EXPECT_EQ(shared.View(), u"counted from many threads");
}

}  // namespace
