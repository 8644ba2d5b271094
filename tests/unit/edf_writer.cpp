// rivu-host's EDF+ writer: the header arithmetic a reader takes on trust (digital
// ranges that keep every sample exact, record durations, field widths). The
// files themselves are read back by an independent reader in the end-to-end test.
#include "rivu-host/edf_writer.h"

#include <gtest/gtest.h>

#include "rivu-host/edf_sink.h"
#include "tests/support/test_support.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace rivu::host {
namespace {

ChannelInfo Channel(const std::string& title, const std::string& scaling) {
    ChannelInfo channel;
    channel.name = channel.title = title;
    channel.scalingText = scaling;
    EXPECT_TRUE(ParseBaseScaling(scaling, channel.scaling)) << scaling;
    return channel;
}

// What a reader computes from the header for a stored value.
double ReaderPhysical(const EdfSignal& signal, int digital) {
    const double low = std::stod(signal.physicalMin), high = std::stod(signal.physicalMax);
    return low + (digital - signal.digitalMin) * (high - low) / (signal.digitalMax - signal.digitalMin);
}

TEST(EdfWriter, DigitalRangesKeepEverySampleExact) {
    struct Case {
        std::string scaling;
        int digitalMin, digitalMax;
        std::vector<std::int32_t> raws;
    };
    const Case cases[] = {
        {"0,0;500,500;mmHg;0;", 0, 500, {0, 1, 118, 499, 500}},
        {"0,0;500,50;mL/min;1;", 0, 500, {0, 109, 500}},
        {"-25,-0.2;50,0.5;mL;2;", -25, 50, {-25, 0, 17, 50}},
        // Points given high first: the same line, stored low first.
        {"3000,300;0,0;mmHg;1;", 0, 3000, {0, 1234, 3000}},
        // Wider than 16 bits but at most 65536 steps: shifted, still exact.
        {"0,0;50000,50000;mL;0;", -32768, 17232, {0, 1, 32767, 32768, 50000}},
        {"-40000,-4000;20000,2000;mV;1;", -32768, 27232, {-40000, -1, 0, 20000}},
    };
    for (const Case& c : cases) {
        EdfSignal signal;
        std::string error;
        ASSERT_TRUE(PlanEdfSignal(Channel("x", c.scaling), signal, error)) << c.scaling << ": " << error;
        EXPECT_EQ(signal.digitalMin, c.digitalMin) << c.scaling;
        EXPECT_EQ(signal.digitalMax, c.digitalMax) << c.scaling;
        EXPECT_TRUE(signal.note.empty()) << c.scaling << ": " << signal.note;
        BaseScaling scaling;
        ParseBaseScaling(c.scaling, scaling);
        std::size_t clipped = 0;
        for (std::int32_t raw : c.raws) {
            const int digital = signal.Digital(raw, clipped);
            EXPECT_DOUBLE_EQ(ReaderPhysical(signal, digital), scaling.Physical(raw)) << c.scaling << " raw " << raw;
        }
        EXPECT_EQ(clipped, 0u) << c.scaling;
    }

    // A sample outside the calibration points is stored at the nearer limit and counted.
    EdfSignal signal;
    std::string error;
    ASSERT_TRUE(PlanEdfSignal(Channel("x", "0,0;500,500;mmHg;0;"), signal, error));
    std::size_t clipped = 0;
    EXPECT_EQ(signal.Digital(501, clipped), 500);
    EXPECT_EQ(signal.Digital(-7, clipped), 0);
    EXPECT_EQ(clipped, 2u);

    // More than 65536 raw steps cannot be exact: the ends stay the ends, and the note says so.
    ASSERT_TRUE(PlanEdfSignal(Channel("x", "0,0;100000,100000;L;0;"), signal, error));
    EXPECT_EQ(signal.Digital(0, clipped), -32768);
    EXPECT_EQ(signal.Digital(100000, clipped), 32767);
    EXPECT_NEAR(ReaderPhysical(signal, signal.Digital(50000, clipped)), 50000, 100000.0 / 65535);
    EXPECT_NE(signal.note.find("65536"), std::string::npos) << signal.note;

    // A physical limit longer than the header's 8 characters is rounded, and said to be.
    ASSERT_TRUE(PlanEdfSignal(Channel("x", "0,0;500,123456789;L;0;"), signal, error));
    EXPECT_LE(signal.physicalMax.size(), 8u);
    EXPECT_NE(signal.note.find("rounded"), std::string::npos) << signal.note;

    // Calibrations no reader can use are refused with the reason.
    for (const std::string scaling : {"5,0;5,10;mmHg;0;", "0,7;500,7;mmHg;0;", "0.5,0;5,1;mmHg;0;"}) {
        EXPECT_FALSE(PlanEdfSignal(Channel("x", scaling), signal, error)) << scaling;
        EXPECT_NE(error.find(scaling), std::string::npos) << error;
    }
}

TEST(EdfWriter, RecordsLastAboutASecondWrittenExactly) {
    struct Case {
        std::int64_t periodUs;
        int samples;
        std::string duration;
    };
    const Case cases[] = {
        {20000, 50, "1"},
        {5000, 200, "1"},
        {100000, 10, "1"},
        {3000, 333, "0.999"},
        {7000, 142, "0.994"},
        {1, 1000000, "1"},
        {1500000, 1, "1.5"},
        {2000000, 1, "2"},
        // 12.345678 s needs 9 characters; 5 periods make 61.72839 s, which fits.
        {12345678, 5, "61.72839"},
    };
    for (const Case& c : cases) {
        EdfRecordPlan plan;
        ASSERT_TRUE(PlanEdfRecords(c.periodUs, plan)) << c.periodUs;
        EXPECT_EQ(plan.samplesPerRecord, c.samples) << c.periodUs;
        EXPECT_EQ(plan.durationUs, c.samples * c.periodUs) << c.periodUs;
        EXPECT_EQ(EdfSeconds(plan.durationUs), c.duration) << c.periodUs;
    }
    EdfRecordPlan plan;
    EXPECT_FALSE(PlanEdfRecords(0, plan));
    EXPECT_EQ(EdfSeconds(0), "0");
    EXPECT_EQ(EdfSeconds(123456789), "123.456789");
}

TEST(EdfWriter, HeaderFieldsHaveTheirWidthsAndRecordsTheirSize) {
    DeviceReport report;
    report.model = "Zarvonic CODA";
    report.samplePeriodUs = 100000;  // 10 samples a record
    report.channels = {Channel("Tail Volume with a long title", "0,0;500,500;\u00b5L;0;"),
                       Channel("SpO\u2082", "0,0;1000,100;%;1;"), Channel("T", "0,0;500,50;\u00b0C;1;")};
    std::tm start{};
    start.tm_year = 126;
    start.tm_mon = 11;
    start.tm_mday = 8;
    start.tm_hour = 9;
    start.tm_min = 5;
    start.tm_sec = 7;
    const std::string path = ::testing::TempDir() + "edf_writer_test.edf";
    EdfWriter writer;
    std::string error;
    ASSERT_TRUE(writer.Open(path, report, start, error)) << error;

    const std::size_t headerSize = 256 * 5;
    const std::string open = test::ReadWholeFile(path);
    ASSERT_EQ(open.size(), headerSize);
    EXPECT_EQ(open.substr(0, 8), "0       ");
    EXPECT_EQ(open.substr(8, 80), std::string("X X X X") + std::string(73, ' '));
    EXPECT_EQ(open.substr(88, 41), "Startdate 08-DEC-2026 X X Zarvonic_CODA  ");
    EXPECT_EQ(open.substr(168, 16), "08.12.2609.05.07");
    EXPECT_EQ(open.substr(184, 8), "1280    ");
    EXPECT_EQ(open.substr(192, 6), "EDF+C ");
    EXPECT_EQ(open.substr(236, 8), "-1      ");  // unknown while recording
    EXPECT_EQ(open.substr(244, 12), "1       4   ");
    EXPECT_EQ(open.substr(256, 64), "Tail Volume withSpO2            T               EDF Annotations ");
    const std::size_t dimensions = 256 + 4 * (16 + 80);
    EXPECT_EQ(open.substr(dimensions, 32), "uL      %       degC            ");
    EXPECT_EQ(open.substr(dimensions + 32, 32), "0       0       0       -1      ");
    EXPECT_EQ(open.substr(dimensions + 64, 32), "500     100     50      1       ");
    EXPECT_EQ(open.substr(dimensions + 96, 32), "0       0       0       -32768  ");
    EXPECT_EQ(open.substr(dimensions + 128, 32), "500     1000    500     32767   ");
    EXPECT_EQ(open.substr(dimensions + 160 + 4 * 80, 32), "10      10      10      128     ");

    // Three records' worth on every channel but the last, which lags by one
    // sample; the newest complete record is held back for comments made at the stop.
    std::vector<std::int32_t> samples(30);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::int32_t>(i);
    writer.Annotate(150000, AnnotationText(u"Systolic BP = 118 mmHg"));
    writer.Append(0, samples.data(), 30);
    writer.Append(1, samples.data(), 30);
    writer.Append(2, samples.data(), 29);
    EXPECT_EQ(writer.Records(), 1);
    writer.Append(2, samples.data(), 1);
    EXPECT_EQ(writer.Records(), 2);
    writer.Annotate(2500000, AnnotationText(u"note: \u00b5 \u2082\nend") + std::string(300, 'x'));
    ASSERT_TRUE(writer.Close(error)) << error;
    EXPECT_EQ(writer.Records(), 3);
    EXPECT_EQ(writer.DroppedAnnotations(), 0u);

    const std::size_t recordSize = 3 * 10 * 2 + EdfWriter::kAnnotationBytes;
    const std::string closed = test::ReadWholeFile(path);
    ASSERT_EQ(closed.size(), headerSize + 3 * recordSize);
    EXPECT_EQ(closed.substr(236, 8), "3       ");
    // Little-endian 16-bit samples, channel by channel; each record opens with
    // its time-keeping annotation.
    EXPECT_EQ(closed.substr(headerSize + 2 * 10, 4), std::string("\x00\x00\x01\x00", 4));
    const std::string first = closed.substr(headerSize + 60, EdfWriter::kAnnotationBytes);
    EXPECT_EQ(first.substr(0, 5), std::string("+0\x14\x14\0", 5));
    EXPECT_EQ(first.substr(5, 30), std::string("+0.15\x14Systolic BP = 118 mmHg\x14\0", 30));
    const std::string last = closed.substr(headerSize + 2 * recordSize + 60, EdfWriter::kAnnotationBytes);
    EXPECT_EQ(last.substr(0, 5), std::string("+2\x14\x14\0", 5));
    // The late comment: UTF-8 kept, the line feed a space, the text cut to fit.
    const std::string late = "+2.5\x14note: \xC2\xB5 \xE2\x82\x82 end";
    EXPECT_EQ(last.substr(5, late.size()), late);
    EXPECT_EQ(last.back(), '\0');
    std::remove(path.c_str());

    // A recording that never fills one record says so; a path that cannot be written is refused at once.
    ASSERT_TRUE(writer.Open(path, report, start, error)) << error;
    writer.Append(0, samples.data(), 30);
    EXPECT_FALSE(writer.Close(error));
    EXPECT_NE(error.find("no data"), std::string::npos) << error;
    std::remove(path.c_str());
    EXPECT_FALSE(writer.Open(::testing::TempDir() + "no-such-folder/x.edf", report, start, error));
    EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
}


// Readers match signals by label: titles that agree in their first 16
// characters (or altogether) still give distinct labels, and every label that
// is not its title says how it was made.
TEST(EdfWriter, LabelsCutTo16CharactersStayUnique) {
    DeviceReport report;
    report.samplePeriodUs = 20000;
    const std::string scaling = "0,0;500,500;mmHg;0;";
    report.channels = {Channel("Pressure left ventricle", scaling), Channel("Pressure left ventral", scaling),
                       Channel("ECG", scaling),         Channel("ECG", scaling),
                       Channel("Pressure left~2", scaling)};
    EdfWriter writer;
    std::string error;
    ASSERT_TRUE(writer.Plan(report, error)) << error;
    std::vector<std::string> labels, notes;
    for (const EdfSignal& signal : writer.Signals()) {
        labels.push_back(signal.label);
        notes.push_back(signal.note);
    }
    // "Pressure left~2" is a title already, so channel 2 takes the next free number.
    EXPECT_EQ(labels, (std::vector<std::string>{"Pressure left ve", "Pressure left~7", "ECG", "ECG~4",
                                                "Pressure left~2"}))
        << ::testing::PrintToString(labels);
    EXPECT_EQ(notes[0], "its label \"Pressure left ventricle\" is \"Pressure left ve\" in the file (EDF+ labels "
                        "hold 16 characters)");
    EXPECT_EQ(notes[1], "its label \"Pressure left ventral\" is \"Pressure left~7\" in the file (cut to 16 "
                        "characters it would repeat channel 1's)");
    EXPECT_EQ(notes[2], "");
    EXPECT_EQ(notes[3], "its label \"ECG\" is \"ECG~4\" in the file (it would repeat channel 3's)");
    EXPECT_EQ(notes[4], "");
    std::vector<std::string> sorted = labels;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << ::testing::PrintToString(labels);
}


// rivu-host's EDF+ output as one of its recording's outputs: checked before
// the instrument starts, fed row by row, whole when it ends.
TEST(EdfSink, KeepsChannelsInStepAndCommentsAtTheirSamples) {
    const std::string path = ::testing::TempDir() + "edf_sink_test.edf";
    std::string error;
    EXPECT_EQ(EdfSink::Open("-", false, error), nullptr);
    EXPECT_NE(error.find("standard output"), std::string::npos) << error;
    std::ofstream(path) << "kept";
    error.clear();
    EXPECT_EQ(EdfSink::Open(path, false, error), nullptr);
    EXPECT_NE(error.find("exists"), std::string::npos) << error;
    EXPECT_EQ(test::ReadWholeFile(path), "kept");

    auto sink = EdfSink::Open(path, true, error);
    ASSERT_NE(sink, nullptr) << error;
    DeviceReport report;
    report.samplePeriodUs = 100000;  // 10 samples a record
    EXPECT_FALSE(sink->Accepts(report));
    EXPECT_NE(sink->Error().find("no channels"), std::string::npos) << sink->Error();
    report.channels = {Channel("A", "0,0;500,500;mmHg;0;"), Channel("B", "-25,-0.2;50,0.5;mL;2;")};
    ASSERT_TRUE(sink->Accepts(report)) << sink->Error();
    EXPECT_EQ(test::ReadWholeFile(path), "kept");  // untouched until the recording begins

    RecordingFacts facts;
    facts.device = &report;
    facts.started = 0;
    ASSERT_TRUE(sink->Begin(facts)) << sink->Error();
    // Channel B delivers nothing for row 3: the row still holds a value for
    // it (its digital minimum), so later rows stay at their times. The last
    // two rows lack B's samples too (it had not caught up when the recording
    // ended): they are left out, not stored as gaps.
    for (std::size_t row = 0; row < 27; ++row) {
        std::vector<std::optional<std::int32_t>> samples = {static_cast<std::int32_t>(row),
                                                            static_cast<std::int32_t>(row)};
        if (row == 3 || row >= 25) samples[1].reset();
        ASSERT_TRUE(sink->Row(row, samples));
    }
    CommentEntry comment;
    comment.sample = 12;
    comment.text = "Systolic BP = 118 mmHg";
    ASSERT_TRUE(sink->Comment(comment));
    ASSERT_TRUE(sink->Flush());
    ASSERT_TRUE(sink->End()) << sink->Error();
    EXPECT_NE(sink->Where().find("2 signals, 2 data records of 1 s, 10 samples each"), std::string::npos)
        << sink->Where();
    const std::vector<std::string> remarks = sink->Remarks();
    auto said = [&](const std::string& text) {
        return std::any_of(remarks.begin(), remarks.end(),
                           [&](const std::string& r) { return r.find(text) != std::string::npos; });
    };
    EXPECT_TRUE(said("the last 5 samples did not fill")) << ::testing::PrintToString(remarks);
    EXPECT_TRUE(said("1 samples a channel did not deliver")) << ::testing::PrintToString(remarks);
    EXPECT_TRUE(said("the last 2 rows lack samples")) << ::testing::PrintToString(remarks);

    const std::size_t headerSize = 256 * 4, recordSize = 2 * 10 * 2 + EdfWriter::kAnnotationBytes;
    const std::string file = test::ReadWholeFile(path);
    ASSERT_EQ(file.size(), headerSize + 2 * recordSize);
    EXPECT_EQ(file.substr(236, 8), "2       ");
    auto sample = [&](std::size_t record, std::size_t channel, std::size_t i) {
        const std::size_t at = headerSize + record * recordSize + (channel * 10 + i) * 2;
        return static_cast<std::int16_t>(static_cast<unsigned char>(file[at]) |
                                         static_cast<unsigned char>(file[at + 1]) << 8);
    };
    EXPECT_EQ(sample(0, 1, 2), 2);
    EXPECT_EQ(sample(0, 1, 3), -25);  // the gap
    EXPECT_EQ(sample(0, 1, 4), 4);
    EXPECT_EQ(sample(1, 0, 9), 19);
    EXPECT_EQ(sample(1, 1, 9), 19);
    const std::string second = file.substr(headerSize + recordSize + 40, EdfWriter::kAnnotationBytes);
    EXPECT_EQ(second.substr(0, 5), std::string("+1\x14\x14\0", 5));
    const std::string systolic = "+1.2\x14Systolic BP = 118 mmHg\x14";
    EXPECT_EQ(second.substr(5, systolic.size()), systolic);
    std::remove(path.c_str());
}

}  // namespace
}  // namespace rivu::host
