// The emulated drive behind the NT pass-through: the 80-byte request block
// decoded byte for byte, the answer written back into it, failures below the
// drive and slow requests against their time-out.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fake_hooks.h"
#include "fake_platform.h"
#include "platform/ptr32.h"
#include "transport/transport.h"

namespace {

using Bytes = std::vector<uint8_t>;
const Bytes kTur{0, 0, 0, 0, 0, 0}, kInquiry{0x12, 0, 0, 0, 36, 0};
const Bytes kSense{0x70, 0, 2, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x3A, 1};  // no medium, tray closed

class SimPassThroughTest : public ::testing::Test {
 protected:
  SimPassThroughTest() {
    pt_.AttachDrive('E', &drive_, 0x3);
    sim::ConnectPassThrough(os_, pt_);
    e_ = os_.OpenDevice("\\\\.\\E:", plat::kGenericRead | plat::kGenericWrite);
  }
  ~SimPassThroughTest() override { os_.CloseDevice(e_); }
  // The block as the updater lays it out: 32 sense bytes at 48, 10 s.
  static PassThroughBlock Block(const Bytes& cdb, uint8_t data_in, void* buffer, uint32_t length) {
    PassThroughBlock b{};
    b.Length = 44;
    b.CdbLength = static_cast<uint8_t>(cdb.size());
    b.SenseInfoLength = 32;
    b.DataIn = data_in;
    b.DataTransferLength = length;
    b.TimeOutValue = 10;
    b.DataBuffer = plat::PtrToField(buffer);
    b.SenseInfoOffset = 48;
    std::memcpy(b.Cdb, cdb.data(), cdb.size());
    return b;
  }
  bool Send(PassThroughBlock& b) { return os_.ScsiPassThroughDirect(e_, &b); }

  FakePlatform os_;
  sim::KestranDrive drive_{sim::FakeClock(os_)};
  sim::SimPassThrough pt_;
  plat::Handle e_ = nullptr;
};

TEST_F(SimPassThroughTest, MalformedBlocksFailWithInvalidParameter) {
  std::vector<uint8_t> storage(64 + 4);
  uint8_t* odd = storage.data();
  while ((reinterpret_cast<uintptr_t>(odd) & 3) != 1) ++odd;
  // Each case overwrites one field of the block (little-endian, at its offset).
  const struct {
    uint32_t offset, size, value;
    bool valid;
  } cases[] = {
      {0, 0, 0, true},          // as the updater sends it: data-in may sit anywhere
      {8, 1, 0, false},         // DataIn: data-out off the alignment mask
      {0, 2, 80, false},        // Length
      {6, 1, 0, false},         // CdbLength
      {6, 1, 17, false},        // CdbLength
      {8, 1, 3, false},         // DataIn
      {24, 4, 49, false},       // SenseInfoOffset: 32 bytes would leave the block
      {20, 4, 0, false},        // DataBuffer
      {12, 4, 0x10800, false},  // DataTransferLength over the maximum
  };
  for (const auto& c : cases) {
    PassThroughBlock b = Block(kInquiry, 1, odd, 64);
    std::memcpy(reinterpret_cast<uint8_t*>(&b) + c.offset, &c.value, c.size);
    os_.last_error = 0;
    EXPECT_EQ(Send(b), c.valid) << c.offset;
    EXPECT_EQ(os_.GetLastError(), c.valid ? 0 : sim::kErrorInvalidParameter) << c.offset;
    if (c.valid) {
      EXPECT_EQ(b.DataTransferLength, 36u) << "bytes actually moved";
    }
  }
  EXPECT_EQ(drive_.command_count(), 1u);
}

// A TEST UNIT READY (the drive answers CHECK CONDITION) with 14 bytes of sense
// asked for at offset 60, 12 bytes into the block's sense area.
TEST_F(SimPassThroughTest, SenseLandsWhereTheBlockSaysUnlessTheRequestFailsFirst) {
  struct Case {
    bool fault, reaches_drive;
    uint32_t delay_ms, error, waited_ms;  // error 0: succeeds
  };
  for (const Case& c : {
           Case{false, false, 0, 0, 0},
           Case{true, false, 0, 0x00ABCDEF, 0},  // failed below the drive: no sense
           Case{true, true, 0, 1117, 0},         // failed, but the drive answered
           Case{false, false, 10000, 0, 10000},  // slow, within TimeOutValue
           Case{false, false, 10001, sim::kErrorSemTimeout, 10000},
       }) {
    drive_.ClearFaults();
    os_.last_error = 0;
    if (c.fault) drive_.FailCommand(drive_.command_count(), {0x04, 0, c.error, c.reaches_drive});
    drive_.SetAsyncDelay(c.delay_ms);
    const uint64_t start = os_.NowMs();
    PassThroughBlock b = Block(kTur, 2, nullptr, 0);
    std::memset(b.Sense, 0xCC, sizeof b.Sense);
    b.SenseInfoOffset = 60;
    b.SenseInfoLength = 14;
    EXPECT_EQ(Send(b), c.error == 0) << c.error;
    EXPECT_EQ(os_.GetLastError(), c.error);
    EXPECT_EQ(os_.NowMs() - start, c.waited_ms);
    Bytes expected(32, 0xCC);
    if (c.error == 0 || c.reaches_drive) std::copy(kSense.begin(), kSense.end(), &expected[12]);
    EXPECT_EQ(Bytes(b.Sense, b.Sense + 32), expected) << c.error;
  }
}

}  // namespace
