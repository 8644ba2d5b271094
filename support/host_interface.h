#pragma once
// The host application's objects as the enabler calls them: class and
// interface identifiers and operation slots. Every object has the COM layout
// (slots 0-2 are QueryInterface, AddRef and Release; the object is passed
// first). The test host states these values on its own, so a wrong one here
// fails a test instead of calling the wrong operation of the real host.
#include "support/guid.h"

namespace rivu {

// The host's log service, registered by the host (or made available by its
// activation library) and found by class.
inline constexpr Guid kCLSID_HostLogService = {
    0x4AB9F3B6, 0x497C, 0x4C4E, {0xB0, 0xAD, 0x8D, 0xDD, 0x61, 0x36, 0xFD, 0x96}};
inline constexpr Guid kIID_HostLogService = {
    0xEBAD47D0, 0xA398, 0x11D3, {0x80, 0xC0, 0x00, 0x50, 0x04, 0xAD, 0x3C, 0x53}};
inline constexpr int kLogServiceWriteSlot = 3;  // (ZVCString* line)

// Queried from the log service: the host's reference tick.
inline constexpr Guid kIID_HostClock = {0x692CB895, 0x4020, 0x4F07, {0x8F, 0x2E, 0xF5, 0x43, 0xE5, 0x9D, 0xFF, 0xC5}};
inline constexpr int kHostClockTickSlot = 3;  // (uint32* referenceTick)

// The class that the activation library Kofra.dll exports through DllGetClassObject.
inline constexpr Guid kCLSID_HostActivation = {
    0x818DA440, 0x8037, 0x11D3, {0x80, 0xBC, 0x00, 0x50, 0x04, 0xAD, 0x3C, 0x53}};

// The chain from the controlling proxy to the recording, used when sampling
// starts and for comments: proxy slot 2 -> IHostSession slot 7 ->
// IHostSampling slot 54 -> the document, whose IHostComments adds comments.
inline constexpr Guid kIID_IHostSession = {
    0xCD8A64F4, 0x48D2, 0x11D1, {0x8D, 0x03, 0x00, 0xC0, 0xD1, 0x57, 0x0D, 0x74}};
inline constexpr Guid kIID_IHostSampling = {
    0x864B2DE1, 0x3F7F, 0x11D1, {0x99, 0x81, 0x00, 0xC0, 0xDF, 0x49, 0x26, 0x97}};
inline constexpr Guid kIID_IHostComments = {
    0xB8B7A576, 0x8192, 0x47D1, {0xBC, 0xC0, 0x54, 0x5E, 0x69, 0x65, 0xE5, 0x08}};

inline constexpr int kProxyGetObjectSlot = 2;        // (IUnknown** out)
inline constexpr int kSessionGetObjectSlot = 7;      // (IUnknown** out)
inline constexpr int kSamplingGetDocumentSlot = 54;  // (int32 0, IHostDocument** out, int32 vprChannel)
inline constexpr int kDocumentChannelTitleSlot = 3;  // (uint32 flags, int32 channel, int32 0, ZVCString** title)
inline constexpr int kDocumentChannelCountSlot = 4;  // (int32 0, int32* count)
inline constexpr int kDocumentRecordCountSlot = 7;   // (int32 0, int32* records)
inline constexpr int kDocumentTimeUnitSlot = 19;     // (int32 0, int32 0, double* secondsPerUnit)
inline constexpr int kCommentsAddSlot = 8;           // (int32 channel, int32 place[2], ZVCString* text, int32 0)
inline constexpr unsigned kChannelTitleFlags = 0xC0000000u;

}  // namespace rivu
