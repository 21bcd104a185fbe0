#include "diag/growable_buffer.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_machine.h"

namespace vur {
namespace {

class GrowableBufferTest : public testing::Test {
 protected:
  GrowableBufferTest() : sink_(console_.stream()) {
    sink_.SetThreshold(LogLevel::kDebug);
    sink_.SetFile(log_.stream());
  }
  ~GrowableBufferTest() override { sink_.SetFile(nullptr); }

  std::string Growths(std::uint32_t size) {
    return "\n#GrowToFit expanding buffer to " + std::to_string(size) + "\n";
  }

  test::TestMachine machine_;
  test::Console console_, log_;
  LogSink sink_;
};

TEST_F(GrowableBufferTest, NewBufferHolds1024AndSaysSoOnce) {
  GrowableBuffer buffer(1048576, sink_);
  EXPECT_EQ(1024u, buffer.Capacity());
  EXPECT_NE(nullptr, buffer.Data());
  EXPECT_EQ(Growths(1024), log_.Text());
  EXPECT_EQ("", console_.Text());
}

TEST_F(GrowableBufferTest, GrowsToPowersOfTwoAndLogsTheRequest) {
  GrowableBuffer buffer(1048576, sink_);
  buffer.GrowToFit(1024);  // fits: nothing
  buffer.GrowToFit(0);
  EXPECT_EQ(1024u, buffer.Capacity());
  buffer.GrowToFit(1025);
  EXPECT_EQ(2048u, buffer.Capacity());
  buffer.GrowToFit(1716);
  buffer.GrowToFit(2000);
  EXPECT_EQ(2048u, buffer.Capacity());
  buffer.GrowToFit(5000);
  EXPECT_EQ(8192u, buffer.Capacity());
  EXPECT_EQ(Growths(1024) + Growths(1025) + Growths(5000), log_.Text());
}

TEST_F(GrowableBufferTest, RequestsAboveTheLimitAreClamped) {
  GrowableBuffer buffer(1048576, sink_);
  buffer.GrowToFit(1048577);
  EXPECT_EQ(1048576u, buffer.Capacity());
  buffer.GrowToFit(1048577);
  buffer.GrowToFit(0xFFFFFFFFu);
  EXPECT_EQ(1048576u, buffer.Capacity());
  EXPECT_EQ(Growths(1024) + Growths(1048576), log_.Text());
  buffer.Data()[1048575] = 1;  // the whole capacity is usable
}

TEST_F(GrowableBufferTest, LimitThatIsNoPowerOfTwoRoundsUp) {
  GrowableBuffer buffer(3000, sink_);
  buffer.GrowToFit(5000);
  EXPECT_EQ(4096u, buffer.Capacity());
  EXPECT_EQ(Growths(1024) + Growths(3000), log_.Text());
}

}  // namespace
}  // namespace vur
