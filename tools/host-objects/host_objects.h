#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace rivu::host {

// A comment the enabler added to the recording.
struct RecordedComment {
    std::int32_t channel;   // host channel number from 0, or -1
    std::int32_t position;  // host time units from the start of the record
    std::int32_t record;    // record number
    std::u16string text;

    friend bool operator==(const RecordedComment&, const RecordedComment&) = default;
};

// A step of the chain from the controlling proxy to the comments interface
// that can be made to hand out nothing.
enum class Step {
    None,
    ProxyObject,     // proxy slot 2
    Session,         // QueryInterface for IHostSession
    SamplingObject,  // session slot 7
    Sampling,        // QueryInterface for IHostSampling
    Document,        // sampling slot 54
    Comments,        // QueryInterface of the document for IHostComments
    ChannelTitle,    // document slot 3
};

// The host application's objects in COM layout, in-process: a controlling
// proxy that leads to the session, the sampling interface, the recording's
// document and its comments. Every object is reference counted; the objects
// stay allocated for the life of this value so that a test can count the
// references the enabler still holds. Thread-safe.
class HostObjects {
public:
    HostObjects();
    ~HostObjects();
    HostObjects(const HostObjects&) = delete;
    HostObjects& operator=(const HostObjects&) = delete;

    // What the document reports.
    void SetChannelTitles(std::vector<std::u16string> titles);
    void SetSecondsPerUnit(double secondsPerUnit);
    void SetRecordCount(std::int32_t records);
    // Makes one step hand out a null object (Step::None: every step works).
    void FailStep(Step step);

    // The proxy to lend through SetControllingProxy (not reference counted by
    // the enabler: slot 2 hands out the host object).
    void* ControllingProxy();
    // A new reference to the sampling interface, as the start of sampling
    // obtains it.
    void* NewSamplingReference();

    std::vector<RecordedComment> Comments() const;
    void ClearComments();
    // References handed out and not yet released, over all objects.
    std::int32_t OutstandingReferences() const;

    struct Object;  // one COM object: table pointer first, then its owner

private:
    friend struct Calls;
    Object* objects_ = nullptr;  // proxy, host object, session, sampling object, sampling, document, comments

    mutable std::mutex mutex_;
    std::vector<std::u16string> titles_;
    double secondsPerUnit_ = 0.001;
    std::int32_t records_ = 1;
    Step failing_ = Step::None;
    std::vector<RecordedComment> comments_;
    std::atomic<std::int32_t> outstanding_{0};
};

}  // namespace rivu::host
