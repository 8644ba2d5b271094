#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
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

// The reference-counted objects, each counted on its own.
enum class Counted { HostObject, Session, SamplingObject, Sampling, Document, Comments };

// The host application's objects in COM layout, in-process: a controlling
// proxy that leads to the session, the sampling interface, the recording's
// document and its comments; channel titles are string objects of the host's
// own, read through their operations only.
//
// Every object counts its own references, and every call checks the arguments
// it is given. A problem (an argument out of place, a release below zero, a
// reference still held when this value is destroyed) goes to the problem
// handler: a test passes one that fails the test. The counts do not order the
// threads that use them, so a sanitizer still sees the enabler's races.
//
// What the document reports is set before the enabler uses the objects, or on
// the thread that drives it.
class HostObjects {
public:
    using ProblemHandler = std::function<void(const std::string& problem)>;

    // Without a handler problems are written to standard error.
    explicit HostObjects(ProblemHandler onProblem = {});
    // Reports every reference still held, then frees the objects.
    ~HostObjects();
    HostObjects(const HostObjects&) = delete;
    HostObjects& operator=(const HostObjects&) = delete;

    // What the document reports.
    void SetChannelTitles(std::vector<std::u16string> titles);
    void SetSecondsPerUnit(double secondsPerUnit);
    void SetRecordCount(std::int32_t records);
    // The enabler's index of its VPR channel, which it passes along when it
    // asks the sampling interface for the document (unset: any index from 0).
    void ExpectVprChannel(std::int32_t index);
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
    // References handed out and not yet released: of one object; of every
    // object and channel title.
    std::int32_t References(Counted object) const;
    std::int32_t OutstandingReferences() const;
    // Every problem reported so far.
    std::vector<std::string> Problems() const;

    struct Object;       // one COM object: table pointer first, then its owner
    struct TitleString;  // a channel title handed to the enabler

private:
    friend struct Calls;
    void Problem(const std::string& problem);

    Object* objects_ = nullptr;  // proxy, then the Counted objects in order
    ProblemHandler onProblem_;

    std::vector<std::u16string> titles_;
    std::atomic<double> secondsPerUnit_{0.001};
    std::atomic<std::int32_t> records_{1};
    std::atomic<std::int32_t> vprChannel_{-1};
    std::atomic<Step> failing_{Step::None};

    mutable std::mutex titleMutex_;  // the list only; each title counts on its own
    std::deque<std::unique_ptr<TitleString>> handedTitles_;

    mutable std::mutex mutex_;
    std::vector<RecordedComment> comments_;
    std::vector<std::string> problems_;
};

}  // namespace rivu::host
