#include "coda/data_lines.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/fields.h"
#include "support/log.h"
#include "serial/rivu_serial.h"

namespace rivu {

namespace {

// A row goes into every channel it feeds or into none: the host lines the
// channels up by position, so a row stored on some channels only would shift
// every later sample of the others in time. True when each has room.
bool EveryChannelHasRoom(const std::vector<ChannelRecord*>& channels, std::size_t count) {
    for (std::size_t channel = 0; channel < count; ++channel) {
        if (!channels[channel]->HasRoom()) return false;
    }
    return true;
}

// Rows dropped while the rings are full are counted; the overflow is logged
// when it begins and, with the count, when rows are stored again.
void NoteRowStored(RivuSerial& device, bool stored) {
    if (!stored) {
        if (device.rowsDroppedFull++ == 0) {
            LogEvent("!!! ", std::string_view("data rows dropped: the host has not taken the samples and the "
                                              "channels' rings are full"));
        }
    } else if (device.rowsDroppedFull != 0) {
        LogEvent("!!! ", "data rows dropped while the rings were full: " + std::to_string(device.rowsDroppedFull));
        device.rowsDroppedFull = 0;
    }
}

}  // namespace

HResult HandleDataLine(RivuSerial& device, std::u16string_view line) {
    // The fields are walked in place: a row costs no allocation.
    if (CountFields(line) != device.paramCount) return kOk;

    // Data columns feed the instrument's own channels only: never a record
    // past the list, nor the waveform channels that follow them on a CODA.
    const std::vector<ChannelRecord*>& channels = device.rowChannels.Current(device.channels);
    std::size_t channelLimit = channels.size();
    const std::int32_t cuff = device.cuffChannel.load();
    if (cuff >= 0 && static_cast<std::size_t>(cuff) < channelLimit) channelLimit = static_cast<std::size_t>(cuff);
    const std::size_t dataFields = device.paramCount - (device.hasTimeColumn && device.paramCount > 0 ? 1 : 0);
    const std::size_t fed = std::min<std::size_t>(dataFields, channelLimit);
    const bool store = EveryChannelHasRoom(channels, fed);
    NoteRowStored(device, store);

    std::size_t start = 0;
    std::size_t channel = 0;
    for (std::size_t i = 0; start < line.size() && channel < channelLimit; ++i) {
        const std::size_t comma = std::min(line.find(u',', start), line.size());
        const std::u16string_view field = line.substr(start, comma - start);
        start = comma + 1;
        if (i == 0 && device.hasTimeColumn) continue;
        ChannelRecord& record = *channels[channel++];
        if (field == u"*") {
            if (store) record.RepeatValue();
        } else if (store) {
            record.StoreValue(ParseNumber(field));
        } else {
            record.NoteValue(ParseNumber(field));
        }
    }
    ++device.rowsAhead;
    return kOk;
}

}  // namespace rivu
