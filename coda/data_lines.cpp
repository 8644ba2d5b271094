#include "coda/data_lines.h"

#include <vector>

#include "protocol/fields.h"
#include "serial/rivu_serial.h"

namespace rivu {

HResult HandleDataLine(RivuSerial& device, std::u16string_view line) {
    const std::vector<std::u16string> fields = SplitFields(line);
    if (fields.size() != device.paramCount) return kOk;

    // Data columns feed the instrument's own channels only: never a record
    // past the list, nor the waveform channels that follow them on a CODA.
    const ChannelList::Snapshot channels = device.channels.Get();
    std::size_t channelLimit = channels->size();
    const std::int32_t cuff = device.cuffChannel.load();
    if (cuff >= 0 && static_cast<std::size_t>(cuff) < channelLimit) channelLimit = static_cast<std::size_t>(cuff);

    std::size_t channel = 0;
    for (std::size_t i = device.hasTimeColumn ? 1 : 0; i < fields.size() && channel < channelLimit; ++i, ++channel) {
        ChannelRecord& record = *(*channels)[channel];
        if (fields[i] == u"*") {
            record.RepeatValue();
        } else {
            record.StoreValue(ParseNumber(fields[i]));
        }
    }
    ++device.rowsAhead;
    return kOk;
}

}  // namespace rivu
