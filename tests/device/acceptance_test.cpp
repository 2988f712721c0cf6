// Which readings the read loop uses: waveform packets by position, summary
// readings only when their state byte repeats.
#include <vector>

#include <gtest/gtest.h>

#include "device/protocol.h"

namespace kvx::protocol {
namespace {

// Runs a stream of readings through ClassifyReading, carrying the previous
// packet index the way the read loop does.
class Stream {
 public:
  explicit Stream(std::uint8_t previous = 0) : previous_(previous) {}
  ReadingVerdict Next(std::uint8_t packetIndex, std::uint8_t readingKind) {
    const ReadingVerdict verdict = ClassifyReading(Reading{packetIndex, readingKind, {}}, previous_);
    previous_ = packetIndex;
    return verdict;
  }

 private:
  std::uint8_t previous_;
};

TEST(Acceptance, WaveformPacketsOneToThirtyTwoAreUsed) {
  Stream stream;
  for (int index = 1; index <= WAVEFORM_PACKETS; ++index)
    EXPECT_EQ(stream.Next(static_cast<std::uint8_t>(index), 0x02), ReadingVerdict::Waveform) << index;
}

TEST(Acceptance, WaveformPacketsOutsideTheFrameAreDropped) {
  Stream stream;
  EXPECT_EQ(stream.Next(0, 0x02), ReadingVerdict::Drop);
  EXPECT_EQ(stream.Next(33, 0x02), ReadingVerdict::Drop);
  EXPECT_EQ(stream.Next(0x80, 0x04), ReadingVerdict::Drop);
  EXPECT_EQ(stream.Next(1, 0x04), ReadingVerdict::Waveform);
}

TEST(Acceptance, FirstSummaryAfterWaveformIsDropped) {
  Stream stream;
  for (int index = 1; index <= WAVEFORM_PACKETS; ++index) stream.Next(static_cast<std::uint8_t>(index), 0x01);
  EXPECT_EQ(stream.Next(0x00, 0x30), ReadingVerdict::Drop);  // previous index is a packet position
  EXPECT_EQ(stream.Next(0x00, 0x30), ReadingVerdict::Summary);
  EXPECT_EQ(stream.Next(0x00, 0x30), ReadingVerdict::Summary);
}

TEST(Acceptance, SummaryStateChangeIsDroppedOnce) {
  Stream stream;
  EXPECT_EQ(stream.Next(0x00, 0x10), ReadingVerdict::Summary);
  EXPECT_EQ(stream.Next(0x80, 0x10), ReadingVerdict::Drop);
  EXPECT_EQ(stream.Next(0x80, 0x10), ReadingVerdict::Summary);
  EXPECT_EQ(stream.Next(0x00, 0x10), ReadingVerdict::Drop);
  EXPECT_EQ(stream.Next(0x00, 0x10), ReadingVerdict::Summary);
}

TEST(Acceptance, SummaryWithAPacketPositionAsStateIsNeverUsed) {
  Stream stream(5);
  EXPECT_EQ(stream.Next(5, 0x30), ReadingVerdict::Drop);
  EXPECT_EQ(stream.Next(32, 0x30), ReadingVerdict::Drop);
  EXPECT_EQ(stream.Next(32, 0x30), ReadingVerdict::Drop);
  EXPECT_EQ(stream.Next(33, 0x30), ReadingVerdict::Drop);
  EXPECT_EQ(stream.Next(33, 0x30), ReadingVerdict::Summary);
}

}  // namespace
}  // namespace kvx::protocol
