#include "tools/host-objects/host_objects.h"

#include <array>
#include <initializer_list>
#include <utility>

#include "coda/host_objects.h"
#include "support/com_call.h"
#include "support/guid.h"
#include "support/hresult.h"
#include "support/zvc_string.h"

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

constexpr HResult kNotImplemented = static_cast<HResult>(0x80004001u);  // E_NOTIMPL
constexpr std::size_t kTableSlots = 64;
using Table = std::array<void*, kTableSlots>;

}  // namespace

struct HostObjects::Object {
    const void* const* table = nullptr;  // first word: the table of operations
    HostObjects* owner = nullptr;
    int kind = kProxy;
    std::atomic<std::int32_t> references{0};
};

// The operations behind the tables; every one takes the object first.
struct Calls {
    using Object = HostObjects::Object;

    static Object& Self(void* self) { return *static_cast<Object*>(self); }
    static HostObjects& Owner(void* self) { return *Self(self).owner; }

    static bool Fails(void* self, Step step) {
        std::lock_guard lock(Owner(self).mutex_);
        return Owner(self).failing_ == step;
    }

    // Hands out a new reference to the object of the given kind, or null.
    static HResult HandOut(void* self, int kind, Step step, void** out) {
        if (out == nullptr) return kPointer;
        *out = nullptr;
        if (Fails(self, step)) return kNoInterface;
        Object* object = &Owner(self).objects_[kind];
        AddRef(object);
        *out = object;
        return kOk;
    }

    static HResult QueryInterface(void* self, const Guid* iid, void** out) {
        if (iid == nullptr) return kPointer;
        const int kind = Self(self).kind;
        if (*iid == kIID_IUnknown) return HandOut(self, kind, Step::None, out);
        if (*iid == kIID_IHostSession && (kind == kHostObject || kind == kSession)) {
            return HandOut(self, kSession, Step::Session, out);
        }
        if (*iid == kIID_IHostSampling && (kind == kSamplingObject || kind == kSampling)) {
            return HandOut(self, kSampling, Step::Sampling, out);
        }
        if (*iid == kIID_IHostComments && (kind == kDocument || kind == kComments)) {
            return HandOut(self, kComments, Step::Comments, out);
        }
        if (out != nullptr) *out = nullptr;
        return kNoInterface;
    }

    static std::uint32_t AddRef(void* self) {
        Owner(self).outstanding_.fetch_add(1);
        return static_cast<std::uint32_t>(Self(self).references.fetch_add(1) + 1);
    }

    static std::uint32_t Release(void* self) {
        Owner(self).outstanding_.fetch_sub(1);
        return static_cast<std::uint32_t>(Self(self).references.fetch_sub(1) - 1);
    }

    static HResult NotImplemented(void*) { return kNotImplemented; }

    // The proxy is lent, not counted: its slot 2 hands out the host object.
    static HResult ProxyQueryInterface(void*, const Guid*, void** out) {
        if (out != nullptr) *out = nullptr;
        return kNoInterface;
    }
    static std::uint32_t ProxyAddRef(void*) { return 1; }
    static HResult ProxyGetObject(void* self, void** out) { return HandOut(self, kHostObject, Step::ProxyObject, out); }

    static HResult SessionGetObject(void* self, void** out) {
        return HandOut(self, kSamplingObject, Step::SamplingObject, out);
    }

    static HResult SamplingGetDocument(void* self, std::int32_t, void** out) {
        return HandOut(self, kDocument, Step::Document, out);
    }

    static HResult DocumentChannelTitle(void* self, std::uint32_t flags, std::int32_t channel, std::int32_t,
                                        void** title) {
        if (title == nullptr) return kPointer;
        *title = nullptr;
        if (Fails(self, Step::ChannelTitle) || flags != kChannelTitleFlags) return kFail;
        std::u16string text;
        {
            HostObjects& owner = Owner(self);
            std::lock_guard lock(owner.mutex_);
            if (channel < 0 || static_cast<std::size_t>(channel) >= owner.titles_.size()) return kFail;
            text = owner.titles_[static_cast<std::size_t>(channel)];
        }
        // The caller owns the reference it receives.
        ZVC::ZVCString value(text);
        *title = value.Object();
        rivu::AddRef(*title);
        return kOk;
    }

    static HResult DocumentChannelCount(void* self, std::int32_t, std::int32_t* count) {
        if (count == nullptr) return kPointer;
        std::lock_guard lock(Owner(self).mutex_);
        *count = static_cast<std::int32_t>(Owner(self).titles_.size());
        return kOk;
    }

    static HResult DocumentRecordCount(void* self, std::int32_t, std::int32_t* records) {
        if (records == nullptr) return kPointer;
        std::lock_guard lock(Owner(self).mutex_);
        *records = Owner(self).records_;
        return kOk;
    }

    static HResult DocumentTimeUnit(void* self, std::int32_t, std::int32_t, double* secondsPerUnit) {
        if (secondsPerUnit == nullptr) return kPointer;
        std::lock_guard lock(Owner(self).mutex_);
        *secondsPerUnit = Owner(self).secondsPerUnit_;
        return kOk;
    }

    static HResult CommentsAdd(void* self, std::int32_t channel, const std::int32_t* place, void* text, std::int32_t) {
        if (place == nullptr || text == nullptr) return kPointer;
        RecordedComment comment{channel, place[0], place[1], ZVC::ZVCString::ReadHostString(text)};
        std::lock_guard lock(Owner(self).mutex_);
        Owner(self).comments_.push_back(std::move(comment));
        return kOk;
    }
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
                   {kProxyGetObjectSlot, Slot(&Calls::ProxyGetObject)}},
                  false),
        MakeTable({}),
        MakeTable({{kSessionGetObjectSlot, Slot(&Calls::SessionGetObject)}}),
        MakeTable({}),
        MakeTable({{kSamplingGetDocumentSlot, Slot(&Calls::SamplingGetDocument)}}),
        MakeTable({{kDocumentChannelTitleSlot, Slot(&Calls::DocumentChannelTitle)},
                   {kDocumentChannelCountSlot, Slot(&Calls::DocumentChannelCount)},
                   {kDocumentRecordCountSlot, Slot(&Calls::DocumentRecordCount)},
                   {kDocumentTimeUnitSlot, Slot(&Calls::DocumentTimeUnit)}}),
        MakeTable({{kCommentsAddSlot, Slot(&Calls::CommentsAdd)}}),
    };
    return tables[static_cast<std::size_t>(kind)];
}

}  // namespace

HostObjects::HostObjects() : objects_(new Object[kObjectCount]) {
    for (int kind = 0; kind < kObjectCount; ++kind) {
        objects_[kind].table = TableFor(kind).data();
        objects_[kind].owner = this;
        objects_[kind].kind = kind;
    }
}

HostObjects::~HostObjects() { delete[] objects_; }

void HostObjects::SetChannelTitles(std::vector<std::u16string> titles) {
    std::lock_guard lock(mutex_);
    titles_ = std::move(titles);
}

void HostObjects::SetSecondsPerUnit(double secondsPerUnit) {
    std::lock_guard lock(mutex_);
    secondsPerUnit_ = secondsPerUnit;
}

void HostObjects::SetRecordCount(std::int32_t records) {
    std::lock_guard lock(mutex_);
    records_ = records;
}

void HostObjects::FailStep(Step step) {
    std::lock_guard lock(mutex_);
    failing_ = step;
}

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

std::int32_t HostObjects::OutstandingReferences() const { return outstanding_.load(); }

}  // namespace rivu::host
