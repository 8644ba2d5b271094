#pragma once
#include "support/guid.h"

namespace rivu {

// Interfaces of the host application used when sampling and for comments.
inline constexpr Guid kIID_IHostSession = {0xCD8A64F4, 0x48D2, 0x11D1, {0x8D, 0x03, 0x00, 0xC0, 0xD1, 0x57, 0x0D, 0x74}};
inline constexpr Guid kIID_IHostSampling = {0x864B2DE1, 0x3F7F, 0x11D1, {0x99, 0x81, 0x00, 0xC0, 0xDF, 0x49, 0x26, 0x97}};
inline constexpr Guid kIID_IHostComments = {0xB8B7A576, 0x8192, 0x47D1, {0xBC, 0xC0, 0x54, 0x5E, 0x69, 0x65, 0xE5, 0x08}};

// Operation slots (0-2 are QueryInterface, AddRef, Release).
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
