// Cutting instrument lines out of the receive ring.
#include "serial/receive_ring.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/rivu_serial.h"
#include "tests/support/log_capture.h"
#include "tests/support/memory_device.h"

namespace rivu {
namespace {

class ReceiveRingTest : public ::testing::Test {
protected:
    void SetUp() override { log.Clear(); }

    // Hands the bytes over as one read and returns the pass result.
    HResult Feed(const std::string& bytes) {
        current = this;
        return StoreAndCutLines(device, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), Record);
    }

    std::int32_t Held() const { return (device.rxWrite - device.rxRead) & RivuSerial::kRxRingMask; }

    static HResult Record(RivuSerial&, const char* text, std::size_t length) {
        current->lines.emplace_back(text, length);
        // What the handler may rely on: the CR right behind the text, then a NUL.
        current->terminatedByCrNul = current->terminatedByCrNul && text[length] == '\r' && text[length + 1] == '\0';
        if (current->rejectNext) {
            current->rejectNext = false;
            return kFail;
        }
        return kOk;
    }

    test::LogCapture& log = test::LogCapture::Instance();  // before the device logs its creation
    test::MemoryDevice memory{u""};
    RivuSerial& device = memory.device;
    std::vector<std::string> lines;
    bool terminatedByCrNul = true;
    bool rejectNext = false;
    static inline ReceiveRingTest* current = nullptr;
};

using Lines = std::vector<std::string>;

TEST_F(ReceiveRingTest, OnlyCrLfLinesReachTheHandlerWithoutBlanksOrTerminator) {
    EXPECT_EQ(Feed("V,1,2\r\n"), kOk);
    EXPECT_EQ(Feed("  S\r\n"), kOk);
    EXPECT_EQ(Feed("\tB,7\r\n"), kOk);
    EXPECT_EQ(lines, (Lines{"V,1,2", "S", "B,7"}));
    EXPECT_TRUE(terminatedByCrNul);
    EXPECT_EQ(Held(), 0);
}

TEST_F(ReceiveRingTest, MalformedLinesAreDroppedAndCuttingGoesOn) {
    // LF without CR, LF CR, then blank lines of every kind: CR LF, LF, blanks CR LF.
    EXPECT_EQ(Feed("S\nA\n\r\r\n\n \t\r\nV,1\r\n"), kOk);
    EXPECT_EQ(lines, (Lines{"V,1"}));
    EXPECT_EQ(Held(), 0);
}

TEST_F(ReceiveRingTest, CarriageReturnAfterLineFeedCountsOnlyWhenAlreadyReceived) {
    // The CR of "A\n\r" arrives in the next read: the line was complete without it.
    EXPECT_EQ(Feed("A\r\n"), kOk);
    EXPECT_EQ(Feed("\rB\r\n"), kOk);
    // In the same read it marks the line as malformed.
    EXPECT_EQ(Feed("C\r\n\r"), kOk);
    EXPECT_EQ(lines, (Lines{"A", "B"}));
}

TEST_F(ReceiveRingTest, SplitLineIsHandedOverOnceComplete) {
    EXPECT_EQ(Feed("D,12"), kOk);
    EXPECT_EQ(Feed(",34\r"), kOk);
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(Held(), 8);
    EXPECT_EQ(Feed("\nD,5"), kOk);
    EXPECT_EQ(lines, (Lines{"D,12,34"}));
    EXPECT_EQ(Held(), 3);
}

TEST_F(ReceiveRingTest, LinesWrappingTheRingEndStayIntact) {
    // Walk the positions close to the end of the ring, then across it.
    const std::string filler(RivuSerial::kRxRingSize - 10, 'x');
    EXPECT_EQ(Feed(filler + "\r\n"), kOk);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], filler);
    lines.clear();
    EXPECT_EQ(Feed("W,1234567890,abc\r\nW,2\r\n"), kOk);
    EXPECT_EQ(lines, (Lines{"W,1234567890,abc", "W,2"}));
    EXPECT_LT(device.rxWrite, 100);  // really wrapped
    EXPECT_EQ(Held(), 0);
}

TEST_F(ReceiveRingTest, BytesAreBinarySafe) {
    const std::string withNul("D,1\0,2\xFF\r\n", 9);
    EXPECT_EQ(Feed(withNul), kOk);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], std::string("D,1\0,2\xFF", 7));
}

TEST_F(ReceiveRingTest, RejectedLineEndsThePassAndKeepsTheRest) {
    rejectNext = true;
    EXPECT_EQ(Feed("A\r\nB\r\nC"), kFail);
    EXPECT_EQ(lines, (Lines{"A"}));
    // The held-back line goes out with the next pass.
    EXPECT_EQ(Feed("\r\n"), kOk);
    EXPECT_EQ(lines, (Lines{"A", "B", "C"}));
}

TEST_F(ReceiveRingTest, ReadLargerThanFreeRoomIsStoredAsLinesAreCut) {
    // A partial line waits; then more than the ring's room arrives at once.
    EXPECT_EQ(Feed("P,"), kOk);
    std::string burst = "1\r\n";
    const std::string line(98, 'd');
    while (burst.size() < RivuSerial::kRxRingSize + 500) burst += line + "\r\n";
    EXPECT_EQ(Feed(burst), kOk);
    ASSERT_EQ(lines.size(), 1 + (burst.size() - 3) / 100);
    EXPECT_EQ(lines.front(), "P,1");
    for (std::size_t i = 1; i < lines.size(); ++i) ASSERT_EQ(lines[i], line) << i;
    EXPECT_EQ(Held(), 0);
}

TEST_F(ReceiveRingTest, OverlongLineIsDroppedAndCuttingResynchronises) {
    // 8191 bytes without a line feed fill the ring for good: dropped, once.
    const std::string overlong(RivuSerial::kRxRingSize - 1, 'z');
    EXPECT_EQ(Feed("A\r\n" + overlong), kOk);
    EXPECT_TRUE(device.discardingOverlongLine);
    EXPECT_EQ(Held(), 0);
    // Its tail, across reads, goes up to its line feed; the next line is whole.
    EXPECT_EQ(Feed(std::string(5000, 'z')), kOk);
    EXPECT_EQ(Feed("zzz\r\nB,1\r\n"), kOk);
    EXPECT_FALSE(device.discardingOverlongLine);
    EXPECT_EQ(lines, (Lines{"A", "B,1"}));
    const std::vector<std::string> logged = log.Lines();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].rfind("!!! ", 0), 0u) << logged[0];

    // The longest line that fits still arrives whole.
    lines.clear();
    const std::string longest(RivuSerial::kRxRingSize - 3, 'q');
    EXPECT_EQ(Feed(longest + "\r\n"), kOk);
    EXPECT_EQ(lines, (Lines{longest}));
    EXPECT_FALSE(device.discardingOverlongLine);
}

TEST_F(ReceiveRingTest, RingFullOfHeldBackLinesDropsTheExcess) {
    // Lines held back by a rejecting handler are not an overlong line.
    rejectNext = true;
    std::string many;
    while (many.size() < RivuSerial::kRxRingSize + 100) many += "L,123456\r\n";
    EXPECT_EQ(Feed(many), kFail);
    EXPECT_EQ(Held(), RivuSerial::kRxRingSize - 1);
    EXPECT_FALSE(device.discardingOverlongLine);
    lines.clear();
    EXPECT_EQ(Feed(""), kOk);
    EXPECT_EQ(lines.size(), (RivuSerial::kRxRingSize - 1) / 10);
    EXPECT_EQ(Held(), 1);
}

// Inputs the fuzz targets found or probe at the edges of the receive path.
TEST_F(ReceiveRingTest, FuzzFindingsStayHandled) {
    // A read that delivered nothing may come without a buffer; nothing is stored.
    current = this;
    EXPECT_EQ(StoreAndCutLines(device, nullptr, 0, Record), kOk);
    EXPECT_EQ(Held(), 0);
    EXPECT_EQ(Feed("A,1\r\n"), kOk);
    EXPECT_EQ(lines, (Lines{"A,1"}));
}

}  // namespace
}  // namespace rivu
