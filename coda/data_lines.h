#pragma once
#include <string_view>

#include "support/hresult.h"

namespace rivu {

class RivuSerial;

// A data row in the Running state: exactly paramCount fields, skipping the
// time column; "*" repeats a channel's last value. Returns 0.
HResult HandleDataLine(RivuSerial& device, std::u16string_view line);

}  // namespace rivu
