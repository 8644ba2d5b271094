#include "rivu-host/edf_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <cstdlib>
#include <sstream>

namespace rivu::host {
namespace {

// The next code point of UTF-8 text; an invalid byte reads as -1 and is skipped.
long NextCodePoint(const std::string& text, std::size_t& i) {
    const unsigned char lead = static_cast<unsigned char>(text[i++]);
    if (lead < 0x80) return lead;
    int more = lead >= 0xF0 && lead < 0xF8 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
    if (more < 0) return -1;
    long code = lead & (0x3F >> more);
    for (; more > 0; --more, ++i) {
        if (i >= text.size() || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) return -1;
        code = (code << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
    }
    return code;
}

void AppendUtf8(std::string& out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// Text cut to at most bytes bytes without splitting a UTF-8 sequence.
std::string CutUtf8(const std::string& text, std::size_t bytes) {
    if (text.size() <= bytes) return text;
    std::size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

// A header field: the text left-aligned and padded with spaces to width.
std::string Field(const std::string& text, std::size_t width) {
    std::string field = text.substr(0, width);
    field.resize(width, ' ');
    return field;
}

bool ParseWhole(const std::string& text, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return *end == '\0' && std::isfinite(value);
}

// A physical limit for the header: the calibration text itself when it is a
// plain number of at most 8 characters, else the closest 8-character form
// (exact is false when that changes the value).
std::string LimitText(const std::string& text, double value, bool& exact) {
    exact = true;
    if (text.size() <= 8 && text.find_first_not_of("+-.0123456789") == std::string::npos) return text;
    for (int digits = 8; digits > 0; --digits) {
        char formatted[32];
        std::snprintf(formatted, sizeof formatted, "%.*g", digits, value);
        if (std::string(formatted).size() <= 8) {
            exact = std::strtod(formatted, nullptr) == value;
            return formatted;
        }
    }
    exact = false;
    return "";
}

// "rawLow,physicalLow;rawHigh,physicalHigh;unit;decimals;" as its four texts.
bool SplitPoints(const std::string& scaling, std::string texts[4]) {
    std::istringstream in(scaling);
    for (int point = 0; point < 2; ++point) {
        std::string item;
        if (!std::getline(in, item, ';')) return false;
        const std::size_t comma = item.find(',');
        if (comma == std::string::npos) return false;
        texts[point * 2] = item.substr(0, comma);
        texts[point * 2 + 1] = item.substr(comma + 1);
    }
    return true;
}

std::string Annotation(std::int64_t onsetUs, const std::string& text) {
    const std::string onset = (onsetUs < 0 ? "-" : "+") + EdfSeconds(onsetUs < 0 ? -onsetUs : onsetUs);
    return onset + '\x14' + text + '\x14' + '\0';
}

// Labels as readers compare them: without the header's padding.
std::string Trimmed(const std::string& label) { return label.substr(0, label.find_last_not_of(' ') + 1); }

// Labels cut to 16 characters can repeat one another, and readers (MNE among
// them) match signals by label: a label that repeats an earlier channel's
// ends in "~<channel number>" instead. Every label that differs from the
// channel's title says so in the signal's note.
void MakeLabelsUnique(const DeviceReport& report, std::vector<EdfSignal>& signals) {
    constexpr std::size_t kWidth = 16;
    auto heldByAnother = [&](const std::string& label, std::size_t self) {
        for (std::size_t other = 0; other < signals.size(); ++other) {
            if (other != self && Trimmed(signals[other].label) == Trimmed(label)) return true;
        }
        return false;
    };
    for (std::size_t c = 0; c < signals.size(); ++c) {
        const ChannelInfo& channel = report.channels[c];
        const std::string title = EdfAscii(channel.title.empty() ? channel.name : channel.title);
        EdfSignal& signal = signals[c];
        std::size_t repeats = 0;  // the earlier channel's number
        for (std::size_t other = 0; other < c && repeats == 0; ++other) {
            if (Trimmed(signals[other].label) == Trimmed(signal.label)) repeats = other + 1;
        }
        if (repeats != 0) {
            // The channel number is unique among the suffixes; a larger one
            // only where another title already reads like it.
            for (std::size_t n = c + 1;; n += signals.size()) {
                const std::string suffix = "~" + std::to_string(n);
                const std::string label = Trimmed(title.substr(0, kWidth - suffix.size())) + suffix;
                if (!heldByAnother(label, c)) {
                    signal.label = label;
                    break;
                }
            }
        }
        if (signal.label == title) continue;
        std::string how = "its label \"" + title + "\" is \"" + signal.label + "\" in the file (";
        if (repeats == 0) {
            how += "EDF+ labels hold 16 characters)";
        } else {
            how += std::string(title.size() > kWidth ? "cut to 16 characters it" : "it") + " would repeat channel " +
                   std::to_string(repeats) + "'s)";
        }
        signal.note += (signal.note.empty() ? "" : "; ") + how;
    }
}

constexpr std::size_t kHeaderRecordCount = 236;
const char* const kMonths[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};

}  // namespace

std::int16_t EdfSignal::Digital(std::int32_t raw, std::size_t& clipped) const {
    std::int64_t value = raw;
    if (value < rawMin || value > rawMax) {
        ++clipped;
        value = std::clamp<std::int64_t>(value, rawMin, rawMax);
    }
    const std::int64_t span = rawMax - rawMin;
    const std::int64_t steps = digitalMax - digitalMin;
    const std::int64_t step =
        span == steps ? value - rawMin : std::llround(static_cast<double>(value - rawMin) * steps / span);
    return static_cast<std::int16_t>(digitalMin + step);
}

bool PlanEdfSignal(const ChannelInfo& channel, EdfSignal& signal, std::string& error) {
    signal = EdfSignal{};
    signal.label = EdfAscii(channel.title.empty() ? channel.name : channel.title).substr(0, 16);
    signal.dimension = EdfAscii(channel.scaling.unit).substr(0, 8);

    std::string texts[4];
    double raw[2] = {}, physical[2] = {};
    if (!SplitPoints(channel.scalingText, texts) || !ParseWhole(texts[0], raw[0]) ||
        !ParseWhole(texts[1], physical[0]) || !ParseWhole(texts[2], raw[1]) || !ParseWhole(texts[3], physical[1])) {
        error = "its scaling \"" + channel.scalingText + "\" has no two calibration points";
        return false;
    }
    if (raw[0] == raw[1] || physical[0] == physical[1]) {
        error = "its scaling \"" + channel.scalingText + "\" has two equal calibration points";
        return false;
    }
    for (double value : raw) {
        if (value != std::trunc(value) || std::fabs(value) > 2147483647.0) {
            error = "its scaling \"" + channel.scalingText + "\" has a raw point that is not a sample value";
            return false;
        }
    }
    // The lower raw point is the digital minimum (the line is the same either way round).
    const int low = raw[0] < raw[1] ? 0 : 1;
    const int high = 1 - low;
    bool exactLow = true, exactHigh = true;
    signal.physicalMin = LimitText(texts[low * 2 + 1], physical[low], exactLow);
    signal.physicalMax = LimitText(texts[high * 2 + 1], physical[high], exactHigh);
    if (signal.physicalMin.empty() || signal.physicalMax.empty()) {
        error = "its scaling \"" + channel.scalingText + "\" has a physical limit too large for the header";
        return false;
    }
    signal.rawMin = static_cast<std::int64_t>(raw[low]);
    signal.rawMax = static_cast<std::int64_t>(raw[high]);
    const std::int64_t span = signal.rawMax - signal.rawMin;
    if (span > 65535) {
        // More raw steps than 16 bits hold: every step of the file is span / 65535 raw steps.
        signal.digitalMin = -32768;
        signal.digitalMax = 32767;
        char note[96];
        std::snprintf(note, sizeof note, "its %lld raw steps are stored in 65536 (one step is %g %s)",
                      static_cast<long long>(span), (physical[high] - physical[low]) / 65535.0,
                      channel.scaling.unit.c_str());
        signal.note = note;
    } else if (signal.rawMin >= -32768 && signal.rawMax <= 32767) {
        signal.digitalMin = static_cast<int>(signal.rawMin);
        signal.digitalMax = static_cast<int>(signal.rawMax);
    } else {
        signal.digitalMin = -32768;
        signal.digitalMax = static_cast<int>(-32768 + span);
    }
    if (!exactLow || !exactHigh) {
        signal.note += std::string(signal.note.empty() ? "" : "; ") + "its physical limits are rounded to " +
                       signal.physicalMin + " and " + signal.physicalMax;
    }
    return true;
}

bool PlanEdfRecords(std::int64_t samplePeriodUs, EdfRecordPlan& plan) {
    if (samplePeriodUs <= 0) return false;
    // As many samples as fit in a second (periods under a second always write
    // exactly as 0.dddddd); a longer period takes the fewest samples whose
    // duration fits the 8 characters.
    int samples = static_cast<int>(std::max<std::int64_t>(1, 1000000 / samplePeriodUs));
    for (const int last = samples + 1000; samples < last; ++samples) {
        if (EdfSeconds(samples * samplePeriodUs).size() <= 8) {
            plan.samplesPerRecord = samples;
            plan.durationUs = samples * samplePeriodUs;
            return true;
        }
    }
    return false;
}

std::string EdfSeconds(std::int64_t microseconds) {
    std::string text = std::to_string(microseconds / 1000000);
    const std::int64_t fraction = microseconds % 1000000;
    if (fraction != 0) {
        char digits[8];
        std::snprintf(digits, sizeof digits, "%06lld", static_cast<long long>(fraction));
        std::string decimals = digits;
        decimals.erase(decimals.find_last_not_of('0') + 1);
        text += "." + decimals;
    }
    return text;
}

std::string EdfAscii(const std::string& utf8) {
    std::string ascii;
    for (std::size_t i = 0; i < utf8.size();) {
        const long code = NextCodePoint(utf8, i);
        if (code >= 0x20 && code < 0x7F) {
            ascii += static_cast<char>(code);
        } else if (code == 0xB5 || code == 0x3BC) {
            ascii += 'u';
        } else if (code == 0xB0) {
            ascii += "deg";
        } else if (code >= 0x2080 && code <= 0x2089) {
            ascii += static_cast<char>('0' + (code - 0x2080));
        } else if (code >= 0x2074 && code <= 0x2079) {
            ascii += static_cast<char>('4' + (code - 0x2074));
        } else if (code == 0x2070 || code == 0xB9 || code == 0xB2 || code == 0xB3) {
            ascii += code == 0x2070 ? '0' : code == 0xB9 ? '1' : code == 0xB2 ? '2' : '3';
        } else {
            ascii += '_';
        }
    }
    return ascii;
}

std::string AnnotationText(const std::u16string& text) {
    std::string utf8;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t code = text[i];
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (code >= 0xD800 && code < 0xE000) {
            code = 0xFFFD;
        }
        AppendUtf8(utf8, code < 0x20 || code == 0x7F ? U' ' : code);
    }
    return utf8;
}

EdfWriter::~EdfWriter() {
    if (file_ != nullptr) std::fclose(file_);
}

bool EdfWriter::Plan(const DeviceReport& report, std::string& error) {
    if (report.channels.empty()) {
        error = "the instrument has no channels";
        return false;
    }
    if (!PlanEdfRecords(report.samplePeriodUs, plan_)) {
        error = "a sample period of " + std::to_string(report.samplePeriodUs) + " us cannot make data records";
        return false;
    }
    signals_.clear();
    pendingAnnotations_.clear();
    records_ = 0;
    dropped_ = clipped_ = 0;
    writeFailed_ = false;
    for (std::size_t c = 0; c < report.channels.size(); ++c) {
        EdfSignal signal;
        std::string why;
        if (!PlanEdfSignal(report.channels[c], signal, why)) {
            error = "channel " + std::to_string(c + 1) + " (" + report.channels[c].name + ") cannot be stored: " + why;
            return false;
        }
        signals_.push_back(signal);
    }
    MakeLabelsUnique(report, signals_);
    pending_.assign(signals_.size(), {});
    return true;
}

bool EdfWriter::Open(const std::string& path, const DeviceReport& report, const std::tm& start, std::string& error) {
    if (!Plan(report, error)) return false;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        error = "cannot write " + path;
        return false;
    }
    if (!Start(file, report, start)) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

bool EdfWriter::Start(std::FILE* file, const DeviceReport& report, const std::tm& start) {
    const std::size_t count = signals_.size() + 1;
    char date[40], time[40], startdate[40];
    std::snprintf(date, sizeof date, "%02d.%02d.%02d", start.tm_mday, start.tm_mon + 1, start.tm_year % 100);
    std::snprintf(time, sizeof time, "%02d.%02d.%02d", start.tm_hour, start.tm_min, start.tm_sec);
    std::snprintf(startdate, sizeof startdate, "%02d-%s-%04d", start.tm_mday, kMonths[start.tm_mon % 12],
                  start.tm_year + 1900);
    std::string equipment = EdfAscii(report.model.empty() ? "rivu-host" : report.model);
    std::replace(equipment.begin(), equipment.end(), ' ', '_');

    // Unknown patient and recording subfields are X, as the format asks.
    std::string header = Field("0", 8) + Field("X X X X", 80) +
                         Field(std::string("Startdate ") + startdate + " X X " + equipment, 80) + Field(date, 8) +
                         Field(time, 8) + Field(std::to_string(256 * (count + 1)), 8) + Field("EDF+C", 44) +
                         Field("-1", 8) + Field(EdfSeconds(plan_.durationUs), 8) + Field(std::to_string(count), 4);
    auto each = [&](auto field, std::size_t width, const std::string& annotations) {
        for (const EdfSignal& signal : signals_) header += Field(field(signal), width);
        header += Field(annotations, width);
    };
    each([](const EdfSignal& s) { return s.label; }, 16, "EDF Annotations");
    each([](const EdfSignal&) { return std::string(); }, 80, "");
    each([](const EdfSignal& s) { return s.dimension; }, 8, "");
    each([](const EdfSignal& s) { return s.physicalMin; }, 8, "-1");
    each([](const EdfSignal& s) { return s.physicalMax; }, 8, "1");
    each([](const EdfSignal& s) { return std::to_string(s.digitalMin); }, 8, "-32768");
    each([](const EdfSignal& s) { return std::to_string(s.digitalMax); }, 8, "32767");
    each([](const EdfSignal&) { return std::string(); }, 80, "");
    const std::string perRecord = std::to_string(plan_.samplesPerRecord);
    each([&](const EdfSignal&) { return perRecord; }, 8, std::to_string(kAnnotationBytes / 2));
    each([](const EdfSignal&) { return std::string(); }, 32, "");

    file_ = file;
    headerBytes_ = static_cast<std::int64_t>(header.size());
    if (std::fwrite(header.data(), 1, header.size(), file_) != header.size() || std::fflush(file_) != 0) {
        writeError_ = errno != 0 ? errno : EIO;
        std::fclose(file_);
        file_ = nullptr;
        return false;
    }
    return true;
}

void EdfWriter::Append(std::size_t channel, const std::int32_t* samples, std::size_t count) {
    if (file_ == nullptr || writeFailed_ || channel >= pending_.size()) return;
    for (std::size_t i = 0; i < count; ++i)
        pending_[channel].push_back(signals_[channel].Digital(samples[i], clipped_));
    // Hold the newest complete record back for annotations made at the stop.
    while (Complete() >= 2 * static_cast<std::size_t>(plan_.samplesPerRecord)) WriteRecord();
}

void EdfWriter::Annotate(std::int64_t onsetUs, const std::string& text) {
    // Room for the time-keeping annotation (at most 24 bytes) and this one's onset.
    pendingAnnotations_.push_back(Annotation(onsetUs, CutUtf8(text, kAnnotationBytes - 64)));
}

std::size_t EdfWriter::Complete() const {
    std::size_t complete = pending_.empty() ? 0 : pending_.front().size();
    for (const auto& samples : pending_) complete = std::min(complete, samples.size());
    return complete;
}

bool EdfWriter::WriteRecord() {
    const std::size_t perRecord = static_cast<std::size_t>(plan_.samplesPerRecord);
    std::string record;
    record.reserve(pending_.size() * perRecord * 2 + kAnnotationBytes);
    for (auto& samples : pending_) {
        for (std::size_t i = 0; i < perRecord; ++i) {
            const auto value = static_cast<std::uint16_t>(samples.front());
            samples.pop_front();
            record += static_cast<char>(value & 0xFF);
            record += static_cast<char>(value >> 8);
        }
    }
    std::string annotations = "+" + EdfSeconds(records_ * plan_.durationUs) + "\x14\x14" + '\0';
    while (!pendingAnnotations_.empty() &&
           annotations.size() + pendingAnnotations_.front().size() <= static_cast<std::size_t>(kAnnotationBytes)) {
        annotations += pendingAnnotations_.front();
        pendingAnnotations_.pop_front();
    }
    annotations.resize(kAnnotationBytes, '\0');
    record += annotations;
    recordBytes_ = static_cast<std::int64_t>(record.size());
    if (std::fwrite(record.data(), 1, record.size(), file_) != record.size() || std::fflush(file_) != 0) {
        writeFailed_ = true;
        writeError_ = errno != 0 ? errno : EIO;
        return false;
    }
    ++records_;
    return true;
}

bool EdfWriter::CloseAfterFailure(std::string& error) {
    // The records wholly in the file stay, the header counts them: a reader
    // opens the file as far as it was written.
    const int fd = ::dup(::fileno(file_));
    std::fclose(file_);
    file_ = nullptr;
    error = std::string("cannot write: ") + std::strerror(writeError_);
    if (fd < 0) return false;
    struct stat status = {};
    std::int64_t whole = 0;
    if (::fstat(fd, &status) == 0 && recordBytes_ > 0 && status.st_size > headerBytes_) {
        whole = (static_cast<std::int64_t>(status.st_size) - headerBytes_) / recordBytes_;
    }
    records_ = std::min(records_, whole);
    const std::string count = Field(std::to_string(records_), 8);
    const bool cut = ::ftruncate(fd, static_cast<off_t>(headerBytes_ + records_ * recordBytes_)) == 0 &&
                     ::lseek(fd, static_cast<off_t>(kHeaderRecordCount), SEEK_SET) ==
                         static_cast<off_t>(kHeaderRecordCount) &&
                     ::write(fd, count.data(), count.size()) == static_cast<ssize_t>(count.size());
    ::close(fd);
    return cut;
}

bool EdfWriter::Close(std::string& error) {
    if (file_ == nullptr) return true;
    if (writeFailed_) return CloseAfterFailure(error), false;
    while (Complete() >= static_cast<std::size_t>(plan_.samplesPerRecord)) {
        if (!WriteRecord()) return CloseAfterFailure(error), false;
    }
    dropped_ = 0;
    for (const auto& samples : pending_) dropped_ = std::max(dropped_, samples.size());
    const std::string count = Field(std::to_string(records_), 8);
    const bool written = !writeFailed_ && std::fseek(file_, kHeaderRecordCount, SEEK_SET) == 0 &&
                         std::fwrite(count.data(), 1, count.size(), file_) == count.size();
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!written || !closed) {
        error = "the file could not be written completely";
        return false;
    }
    if (records_ == 0) {
        error = "the channels did not fill one data record (" + std::to_string(plan_.samplesPerRecord) +
                " samples each); the file holds no data";
        return false;
    }
    return true;
}

}  // namespace rivu::host
