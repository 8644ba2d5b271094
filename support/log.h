#pragma once
// The diagnostic log as the device core writes to it. The host services
// define these functions (lines go to the host's log service), so code below
// the plug-in logs without depending on it.
#include <string_view>

namespace rivu {

// Writes one line to the host's log service (no time stamp or line break is
// added). Lines from different threads never interleave. Dropped when there
// is no log service.
void LogLine(std::u16string_view text);

// A diagnostic line stamped with the host's millisecond clock:
// "12.345: <label><text>".
void LogEvent(std::string_view label, std::u16string_view text);
void LogEvent(std::string_view label, std::string_view asciiText);

// When an operating-system failure was recorded on this thread (see
// platform/system_error.h): writes "!!! <what>: <call> failed: error <code>
// (<system text>)", forgets the failure and returns true. Otherwise writes
// nothing and returns false.
bool LogSystemFailure(std::u16string_view what);

}  // namespace rivu
