#include "tools/host-objects/test_host.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <initializer_list>
#include <utility>

#include "support/com_call.h"
#include "support/guid.h"
#include "support/hresult.h"
#include "tools/host-objects/host_contract.h"

namespace rivu::host {

namespace {

enum Kind : int {
    kProxy,
    kHostObject,
    kSession,
    kSamplingObject,
    kSampling,
    kDocument,
    kComments,
    kObjectCount,
};

constexpr const char* kKindNames[kObjectCount] = {"proxy",    "host object", "session", "sampling object",
                                                   "sampling", "document",    "comments"};

constexpr HResult kNotImplemented = static_cast<HResult>(0x80004001u);  // E_NOTIMPL
constexpr std::size_t kTableSlots = 64;
using Table = std::array<void*, kTableSlots>;

int KindOf(Counted object) { return static_cast<int>(object) + kHostObject; }

}  // namespace

struct HostObjects::Object {
    const void* const* table = nullptr;  // first word: the table of operations
    HostObjects* owner = nullptr;
    int kind = kProxy;
    // Relaxed: a count must not order the threads that use the object.
    std::atomic<std::int32_t> references{0};
};

struct HostObjects::TitleString {
    const void* const* table = nullptr;
    HostObjects* owner = nullptr;
    std::u16string text;
    std::atomic<std::int32_t> references{1};  // the enabler's
};

// The operations behind the tables; every one takes the object first.
struct Calls {
    using Object = HostObjects::Object;
    using TitleString = HostObjects::TitleString;

    static Object& Self(void* self) { return *static_cast<Object*>(self); }
    static HostObjects& Owner(void* self) { return *Self(self).owner; }

    // Reports an argument that is not what the call expects.
    template <typename T>
    static void Expect(void* self, const char* call, const char* argument, T given, bool good) {
        if (good) return;
        Owner(self).Problem(std::string(call) + ": " + argument + " is " + std::to_string(given));
    }
    static bool ExpectOut(void* self, const char* call, const void* out) {
        if (out != nullptr) return true;
        Owner(self).Problem(std::string(call) + ": null out pointer");
        return false;
    }

    static bool Fails(void* self, Step step) { return Owner(self).failing_.load(std::memory_order_relaxed) == step; }

    static std::int32_t ChannelCount(void* self) {
        return static_cast<std::int32_t>(Owner(self).titles_.size());
    }

    // Hands out a new reference to the object of the given kind, or null.
    static HResult HandOut(void* self, int kind, Step step, void** out) {
        *out = nullptr;
        if (Fails(self, step)) return kNoInterface;
        Object* object = &Owner(self).objects_[kind];
        AddRef(object);
        *out = object;
        return kOk;
    }

    static HResult QueryInterface(void* self, const Guid* iid, void** out) {
        if (iid == nullptr) {
            Owner(self).Problem("QueryInterface: null interface id");
            return kPointer;
        }
        if (!ExpectOut(self, "QueryInterface", out)) return kPointer;
        const int kind = Self(self).kind;
        if (*iid == kUnknown) return HandOut(self, kind, Step::None, out);
        if (*iid == kSessionInterface && (kind == kHostObject || kind == kSession)) {
            return HandOut(self, kSession, Step::Session, out);
        }
        if (*iid == kSamplingInterface && (kind == kSamplingObject || kind == kSampling)) {
            return HandOut(self, kSampling, Step::Sampling, out);
        }
        if (*iid == kCommentsInterface && (kind == kDocument || kind == kComments)) {
            return HandOut(self, kComments, Step::Comments, out);
        }
        *out = nullptr;
        return kNoInterface;
    }

    static std::uint32_t AddRef(void* self) {
        return static_cast<std::uint32_t>(Self(self).references.fetch_add(1, std::memory_order_relaxed) + 1);
    }

    static std::uint32_t Release(void* self) {
        const std::int32_t left = Self(self).references.fetch_sub(1, std::memory_order_relaxed) - 1;
        if (left < 0) Owner(self).Problem(std::string(kKindNames[Self(self).kind]) + " released once too often");
        return static_cast<std::uint32_t>(left);
    }

    static HResult NotImplemented(void* self) {
        Owner(self).Problem("an operation this host does not offer was called");
        return kNotImplemented;
    }

    // The proxy is lent, not counted: its slot 2 hands out the host object.
    static HResult ProxyQueryInterface(void*, const Guid*, void** out) {
        if (out != nullptr) *out = nullptr;
        return kNoInterface;
    }
    static std::uint32_t ProxyAddRef(void*) { return 1; }
    static HResult ProxyGetObject(void* self, void** out) {
        if (!ExpectOut(self, "proxy slot 2", out)) return kPointer;
        return HandOut(self, kHostObject, Step::ProxyObject, out);
    }

    static HResult SessionGetObject(void* self, void** out) {
        if (!ExpectOut(self, "session slot 7", out)) return kPointer;
        return HandOut(self, kSamplingObject, Step::SamplingObject, out);
    }

    static HResult SamplingGetDocument(void* self, std::int32_t zero, void** out, std::int32_t vprChannel) {
        Expect(self, "sampling slot 54", "argument 1", zero, zero == 0);
        const std::int32_t expected = Owner(self).vprChannel_.load(std::memory_order_relaxed);
        Expect(self, "sampling slot 54", "the VPR channel index", vprChannel,
               expected >= 0 ? vprChannel == expected : vprChannel >= 0);
        if (!ExpectOut(self, "sampling slot 54", out)) return kPointer;
        return HandOut(self, kDocument, Step::Document, out);
    }

    static HResult DocumentChannelTitle(void* self, std::uint32_t flags, std::int32_t channel, std::int32_t zero,
                                        void** title) {
        Expect(self, "document slot 3", "the flags", flags, flags == kChannelTitleFlags);
        Expect(self, "document slot 3", "the channel", channel, channel >= 0 && channel < ChannelCount(self));
        Expect(self, "document slot 3", "argument 3", zero, zero == 0);
        if (!ExpectOut(self, "document slot 3", title)) return kPointer;
        *title = nullptr;
        if (Fails(self, Step::ChannelTitle) || channel < 0 || channel >= ChannelCount(self)) return kFail;
        // The caller owns the one reference of a new string object.
        HostObjects& owner = Owner(self);
        auto text = std::make_unique<TitleString>();
        text->table = TitleTable();
        text->owner = &owner;
        text->text = owner.titles_[static_cast<std::size_t>(channel)];
        *title = text.get();
        std::lock_guard lock(owner.titleMutex_);
        owner.handedTitles_.push_back(std::move(text));
        return kOk;
    }

    static HResult DocumentChannelCount(void* self, std::int32_t zero, std::int32_t* count) {
        Expect(self, "document slot 4", "argument 1", zero, zero == 0);
        if (!ExpectOut(self, "document slot 4", count)) return kPointer;
        *count = ChannelCount(self);
        return kOk;
    }

    static HResult DocumentRecordCount(void* self, std::int32_t zero, std::int32_t* records) {
        Expect(self, "document slot 7", "argument 1", zero, zero == 0);
        if (!ExpectOut(self, "document slot 7", records)) return kPointer;
        *records = Owner(self).records_.load(std::memory_order_relaxed);
        return kOk;
    }

    static HResult DocumentTimeUnit(void* self, std::int32_t zero1, std::int32_t zero2, double* secondsPerUnit) {
        Expect(self, "document slot 19", "argument 1", zero1, zero1 == 0);
        Expect(self, "document slot 19", "argument 2", zero2, zero2 == 0);
        if (!ExpectOut(self, "document slot 19", secondsPerUnit)) return kPointer;
        Expect(self, "document slot 19", "the value passed in", *secondsPerUnit, *secondsPerUnit == 1.0);
        *secondsPerUnit = Owner(self).secondsPerUnit_.load(std::memory_order_relaxed);
        return kOk;
    }

    static HResult CommentsAdd(void* self, std::int32_t channel, std::int32_t* place, void* text,
                               std::int32_t zero) {
        Expect(self, "comments slot 8", "the channel", channel,
               channel == -1 || (channel >= 0 && channel < ChannelCount(self)));
        Expect(self, "comments slot 8", "argument 4", zero, zero == 0);
        if (!ExpectOut(self, "comments slot 8 (place)", place) || !ExpectOut(self, "comments slot 8 (text)", text)) {
            return kPointer;
        }
        RecordedComment comment{channel, place[0], place[1], ReadStringObject(text)};
        std::lock_guard lock(Owner(self).mutex_);
        Owner(self).comments_.push_back(std::move(comment));
        return kOk;
    }

    // A channel title: counted like the other objects, read through slots
    // 3 (length) and 5 (copy), as the host's strings are.
    static TitleString& Title(void* self) { return *static_cast<TitleString*>(self); }

    static HResult TitleQueryInterface(void* self, const Guid* iid, void** out) {
        if (iid == nullptr || out == nullptr) {
            Title(self).owner->Problem("title QueryInterface: null argument");
            return kPointer;
        }
        *out = nullptr;
        return kNoInterface;
    }
    static std::uint32_t TitleAddRef(void* self) {
        return static_cast<std::uint32_t>(Title(self).references.fetch_add(1, std::memory_order_relaxed) + 1);
    }
    static std::uint32_t TitleRelease(void* self) {
        const std::int32_t left = Title(self).references.fetch_sub(1, std::memory_order_relaxed) - 1;
        if (left < 0) Title(self).owner->Problem("a channel title released once too often");
        return static_cast<std::uint32_t>(left);
    }
    static std::int32_t TitleLength(void* self) { return static_cast<std::int32_t>(Title(self).text.size()); }
    static std::int32_t TitleIsEmpty(void* self) { return Title(self).text.empty() ? 1 : 0; }
    static std::int32_t TitleCopyTo(void* self, char16_t* destination, std::int32_t capacity) {
        if (destination == nullptr || capacity <= 0) {
            Title(self).owner->Problem("title slot 5: no room given (" + std::to_string(capacity) + ")");
            return 0;
        }
        const std::u16string& text = Title(self).text;
        const std::size_t copied = std::min(text.size(), static_cast<std::size_t>(capacity) - 1);
        std::copy_n(text.data(), copied, destination);
        destination[copied] = u'\0';
        return static_cast<std::int32_t>(copied);
    }
    // This host's titles offer no system string.
    static void* TitleToSystemString(void*) { return nullptr; }

    static const void* const* TitleTable();
};

namespace {

template <typename Fn>
void* Slot(Fn* function) {
    return reinterpret_cast<void*>(function);
}

Table MakeTable(std::initializer_list<std::pair<int, void*>> slots, bool counted = true) {
    Table table;
    table.fill(Slot(&Calls::NotImplemented));
    if (counted) {
        table[0] = Slot(&Calls::QueryInterface);
        table[1] = Slot(&Calls::AddRef);
        table[2] = Slot(&Calls::Release);
    }
    for (const auto& [index, function] : slots) table[static_cast<std::size_t>(index)] = function;
    return table;
}

const Table& TableFor(int kind) {
    static const std::array<Table, kObjectCount> tables = {
        MakeTable({{0, Slot(&Calls::ProxyQueryInterface)},
                   {1, Slot(&Calls::ProxyAddRef)},
                   {slot::kProxyObject, Slot(&Calls::ProxyGetObject)}},
                  false),
        MakeTable({}),
        MakeTable({{slot::kSessionObject, Slot(&Calls::SessionGetObject)}}),
        MakeTable({}),
        MakeTable({{slot::kSamplingDocument, Slot(&Calls::SamplingGetDocument)}}),
        MakeTable({{slot::kDocumentChannelTitle, Slot(&Calls::DocumentChannelTitle)},
                   {slot::kDocumentChannelCount, Slot(&Calls::DocumentChannelCount)},
                   {slot::kDocumentRecordCount, Slot(&Calls::DocumentRecordCount)},
                   {slot::kDocumentTimeUnit, Slot(&Calls::DocumentTimeUnit)}}),
        MakeTable({{slot::kCommentsAdd, Slot(&Calls::CommentsAdd)}}),
    };
    return tables[static_cast<std::size_t>(kind)];
}

}  // namespace

const void* const* Calls::TitleTable() {
    static const std::array<void*, 7> table = {
        Slot(&Calls::TitleQueryInterface), Slot(&Calls::TitleAddRef),  Slot(&Calls::TitleRelease),
        Slot(&Calls::TitleLength),         Slot(&Calls::TitleIsEmpty), Slot(&Calls::TitleCopyTo),
        Slot(&Calls::TitleToSystemString),
    };
    static_assert(slot::kStringLength == 3 && slot::kStringIsEmpty == 4 && slot::kStringCopyTo == 5 &&
                  slot::kStringToSystem == 6 && std::tuple_size_v<decltype(table)> == 7,
                  "a string object's operations in slot order");
    return table.data();
}

HostObjects::HostObjects(ProblemHandler onProblem)
    : objects_(new Object[kObjectCount]), onProblem_(std::move(onProblem)) {
    for (int kind = 0; kind < kObjectCount; ++kind) {
        objects_[kind].table = TableFor(kind).data();
        objects_[kind].owner = this;
        objects_[kind].kind = kind;
    }
}

HostObjects::~HostObjects() {
    for (int kind = kHostObject; kind < kObjectCount; ++kind) {
        const std::int32_t left = objects_[kind].references.load(std::memory_order_relaxed);
        if (left != 0) Problem(std::string(kKindNames[kind]) + ": " + std::to_string(left) + " references left");
    }
    {
        std::lock_guard lock(titleMutex_);
        for (const auto& title : handedTitles_) {
            const std::int32_t left = title->references.load(std::memory_order_relaxed);
            if (left != 0) {
                Problem("channel title \"" + std::string(title->text.begin(), title->text.end()) +
                        "\": " + std::to_string(left) + " references left");
            }
        }
    }
    delete[] objects_;
}

void HostObjects::Problem(const std::string& problem) {
    {
        std::lock_guard lock(mutex_);
        problems_.push_back(problem);
    }
    if (onProblem_) {
        onProblem_(problem);
    } else {
        std::fprintf(stderr, "host objects: %s\n", problem.c_str());
    }
}

void HostObjects::SetChannelTitles(std::vector<std::u16string> titles) { titles_ = std::move(titles); }

void HostObjects::SetSecondsPerUnit(double secondsPerUnit) {
    secondsPerUnit_.store(secondsPerUnit, std::memory_order_relaxed);
}

void HostObjects::SetRecordCount(std::int32_t records) { records_.store(records, std::memory_order_relaxed); }

void HostObjects::ExpectVprChannel(std::int32_t index) { vprChannel_.store(index, std::memory_order_relaxed); }

void HostObjects::FailStep(Step step) { failing_.store(step, std::memory_order_relaxed); }

void* HostObjects::ControllingProxy() { return &objects_[kProxy]; }

void* HostObjects::NewSamplingReference() {
    Calls::AddRef(&objects_[kSampling]);
    return &objects_[kSampling];
}

std::vector<RecordedComment> HostObjects::Comments() const {
    std::lock_guard lock(mutex_);
    return comments_;
}

void HostObjects::ClearComments() {
    std::lock_guard lock(mutex_);
    comments_.clear();
}

std::int32_t HostObjects::References(Counted object) const {
    return objects_[KindOf(object)].references.load(std::memory_order_relaxed);
}

std::int32_t HostObjects::OutstandingReferences() const {
    std::int32_t total = 0;
    for (int kind = kHostObject; kind < kObjectCount; ++kind) {
        total += objects_[kind].references.load(std::memory_order_relaxed);
    }
    std::lock_guard lock(titleMutex_);
    for (const auto& title : handedTitles_) total += title->references.load(std::memory_order_relaxed);
    return total;
}

std::vector<std::string> HostObjects::Problems() const {
    std::lock_guard lock(mutex_);
    return problems_;
}

}  // namespace rivu::host
