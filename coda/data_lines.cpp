#include "coda/data_lines.h"

#include <algorithm>

#include "protocol/fields.h"
#include "serial/rivu_serial.h"

namespace rivu {

HResult HandleDataLine(RivuSerial& device, std::u16string_view line) {
    // The fields are walked in place: a row costs no allocation.
    if (CountFields(line) != device.paramCount) return kOk;

    // Data columns feed the instrument's own channels only: never a record
    // past the list, nor the waveform channels that follow them on a CODA.
    const ChannelList::Snapshot channels = device.channels.Get();
    std::size_t channelLimit = channels->size();
    const std::int32_t cuff = device.cuffChannel.load();
    if (cuff >= 0 && static_cast<std::size_t>(cuff) < channelLimit) channelLimit = static_cast<std::size_t>(cuff);

    std::size_t start = 0;
    std::size_t channel = 0;
    for (std::size_t i = 0; start < line.size() && channel < channelLimit; ++i) {
        const std::size_t comma = std::min(line.find(u',', start), line.size());
        const std::u16string_view field = line.substr(start, comma - start);
        start = comma + 1;
        if (i == 0 && device.hasTimeColumn) continue;
        ChannelRecord& record = *(*channels)[channel++];
        if (field == u"*") {
            record.RepeatValue();
        } else {
            record.StoreValue(ParseNumber(field));
        }
    }
    ++device.rowsAhead;
    return kOk;
}

}  // namespace rivu
