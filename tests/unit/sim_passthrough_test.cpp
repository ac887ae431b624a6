// The emulated drive behind the NT pass-through device operations: opening by
// drive letter with access faults, the capabilities block, the 80-byte
// pass-through block decoded byte for byte, slow requests and drive types.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fake_hooks.h"
#include "fake_platform.h"
#include "platform/ptr32.h"
#include "transport/transport.h"

namespace {

class SimPassThroughTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pt_.AttachDrive('E', &drive_, 0x3);
    pt_.AttachOther('C', 3);
    pt_.AttachOther('F', 5);  // a CD-ROM letter with no emulated drive behind it
    sim::ConnectPassThrough(os_, pt_);
  }
  static PassThroughBlock Block(std::vector<uint8_t> cdb, uint8_t data_in, void* buffer,
                                uint32_t length) {
    PassThroughBlock b;
    std::memset(&b, 0, sizeof b);
    b.Length = 44;
    b.TargetId = 1;
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
  plat::Handle OpenE() {
    plat::Handle h = os_.OpenDevice("\\\\.\\E:", plat::kGenericRead | plat::kGenericWrite);
    EXPECT_NE(h, nullptr);
    return h;
  }

  FakePlatform os_;
  sim::KestranDrive drive_{sim::FakeClock(os_)};
  sim::SimPassThrough pt_;
};

TEST_F(SimPassThroughTest, OpensByDeviceNameWithAccessFaults) {
  const uint32_t rw = plat::kGenericRead | plat::kGenericWrite, ro = plat::kGenericRead;
  struct Case {
    const char* name;
    uint32_t access;
    bool refuse_rw, refuse_r;
    bool opens;
    uint32_t error;
  };
  for (const Case& c : {
           Case{"\\\\.\\E:", rw, false, false, true, 0},
           Case{"\\\\.\\e:", rw, false, false, true, 0},
           Case{"\\\\.\\E:", rw, true, false, false, sim::kErrorAccessDenied},
           Case{"\\\\.\\E:", ro, true, false, true, 0},
           Case{"\\\\.\\E:", ro, true, true, false, sim::kErrorAccessDenied},
           Case{"\\\\.\\G:", rw, false, false, false, sim::kErrorFileNotFound},
           Case{"E:", rw, false, false, false, sim::kErrorFileNotFound},
           Case{"\\\\.\\E:\\", rw, false, false, false, sim::kErrorFileNotFound},
       }) {
    SCOPED_TRACE(c.name);
    pt_.letter('E').refuse_read_write = c.refuse_rw;
    pt_.letter('E').refuse_read = c.refuse_r;
    os_.last_error = 0;
    plat::Handle h = os_.OpenDevice(c.name, c.access);
    EXPECT_EQ(h != nullptr, c.opens);
    EXPECT_EQ(os_.GetLastError(), c.error);
    if (h) os_.CloseDevice(h);
    EXPECT_EQ(pt_.opens().back().access, c.access);
  }
  EXPECT_EQ(pt_.open_handles(), 0);
  os_.CloseDevice(reinterpret_cast<plat::Handle>(0x9999));
  EXPECT_EQ(pt_.closes_of_unknown_handles(), 1);
}

TEST_F(SimPassThroughTest, CapabilitiesCarryTheAlignmentMask) {
  plat::Handle h = OpenE();
  IoScsiCapabilities caps;
  std::memset(&caps, 0xCC, sizeof caps);
  ASSERT_TRUE(os_.GetScsiCapabilities(h, &caps));
  EXPECT_EQ(caps.Length, 24u);
  EXPECT_EQ(caps.AlignmentMask, 3u);
  EXPECT_EQ(caps.MaximumTransferLength, 0x10000u);
  pt_.letter('E').capabilities_fail = true;
  EXPECT_FALSE(os_.GetScsiCapabilities(h, &caps));
  EXPECT_EQ(os_.GetLastError(), sim::kErrorInvalidFunction);
  os_.CloseDevice(h);
}

TEST_F(SimPassThroughTest, DecodesTheBlockAndAnswersInIt) {
  plat::Handle h = OpenE();
  uint8_t data[64];
  std::memset(data, 0xEE, sizeof data);
  PassThroughBlock b = Block({0x12, 0, 0, 0, 36, 0}, 1, data, 64);
  ASSERT_TRUE(os_.ScsiPassThroughDirect(h, &b));
  EXPECT_EQ(b.ScsiStatus, 0);
  EXPECT_EQ(b.DataTransferLength, 36u) << "bytes actually moved";
  EXPECT_EQ(std::memcmp(data + 8, "KESTRAN ", 8), 0);
  EXPECT_EQ(data[36], 0xEE);

  // CHECK CONDITION: the request itself succeeds; sense at SenseInfoOffset.
  b = Block({0, 0, 0, 0, 0, 0}, 2, nullptr, 0);
  std::memset(b.Sense, 0xCC, sizeof b.Sense);
  ASSERT_TRUE(os_.ScsiPassThroughDirect(h, &b));
  EXPECT_EQ(b.ScsiStatus, sim::kCheckCondition);
  EXPECT_EQ(b.Sense[2], 0x02);
  EXPECT_EQ(b.Sense[12], 0x3A);
  EXPECT_EQ(b.Sense[13], 0x01);
  EXPECT_EQ(b.Sense[18], 0xCC) << "18 bytes of fixed-format sense";

  b = Block({0, 0, 0, 0, 0, 0}, 2, nullptr, 0);
  b.SenseInfoOffset = 60;
  b.SenseInfoLength = 4;
  os_.ScsiPassThroughDirect(h, &b);
  const auto* bytes = reinterpret_cast<const uint8_t*>(&b);
  EXPECT_EQ(bytes[62], 0x02) << "sense key where the block says the sense starts";
  EXPECT_EQ(bytes[64], 0) << "only SenseInfoLength bytes";

  const auto calls = pt_.calls();
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].letter, 'E');
  EXPECT_EQ(calls[0].timeout, 10u);
  EXPECT_EQ(calls[0].data_in, 1);
  EXPECT_EQ(calls[0].transfer_length, 64u);
  EXPECT_EQ(calls[1].cdb_length, 6);
  os_.CloseDevice(h);
}

TEST_F(SimPassThroughTest, MalformedBlocksFailWithInvalidParameter) {
  plat::Handle h = OpenE();
  std::vector<uint8_t> storage(4096 + 8, 0);
  uint8_t* odd = storage.data();
  while ((reinterpret_cast<uintptr_t>(odd) & 3) != 1) ++odd;
  struct Case {
    const char* name;
    void (*spoil)(PassThroughBlock&);
  };
  for (const Case& c : {
           Case{"wrong Length", [](PassThroughBlock& b) { b.Length = 80; }},
           Case{"CDB too long", [](PassThroughBlock& b) { b.CdbLength = 17; }},
           Case{"unknown DataIn", [](PassThroughBlock& b) { b.DataIn = 3; }},
           Case{"sense outside the block", [](PassThroughBlock& b) { b.SenseInfoOffset = 64; }},
           Case{"no buffer", [](PassThroughBlock& b) { b.DataBuffer = 0; }},
           Case{"over the maximum transfer",
                [](PassThroughBlock& b) { b.DataTransferLength = 0x10800; }},
       }) {
    SCOPED_TRACE(c.name);
    PassThroughBlock b = Block({0xEA, 0, 0, 0, 0, 0, 0, 0, 2, 0}, 0, storage.data(), 4096);
    c.spoil(b);
    EXPECT_FALSE(os_.ScsiPassThroughDirect(h, &b));
    EXPECT_EQ(os_.GetLastError(), sim::kErrorInvalidParameter);
  }
  PassThroughBlock b = Block({0xEA, 0, 0, 0, 0, 0, 0, 0, 2, 0}, 0, odd, 4096);
  EXPECT_FALSE(os_.ScsiPassThroughDirect(h, &b));
  EXPECT_FALSE(pt_.calls().back().aligned);
  EXPECT_EQ(drive_.command_count(), 0u) << "none of them reached the drive";

  plat::Handle other = os_.OpenDevice("\\\\.\\F:", plat::kGenericRead);
  ASSERT_NE(other, nullptr);
  b = Block({0, 0, 0, 0, 0, 0}, 2, nullptr, 0);
  EXPECT_FALSE(os_.ScsiPassThroughDirect(other, &b));
  EXPECT_EQ(os_.GetLastError(), sim::kErrorInvalidFunction);
  os_.CloseDevice(other);
  os_.CloseDevice(h);
}

TEST_F(SimPassThroughTest, TransportFaultsFailTheRequest) {
  plat::Handle h = OpenE();
  sim::TransportFault fault;
  fault.win32_error = 0x00ABCDEF;
  drive_.FailCommand(0, fault);
  fault.win32_error = 1117;
  fault.reaches_drive = true;
  drive_.FailCommand(1, fault);

  PassThroughBlock b = Block({0, 0, 0, 0, 0, 0}, 2, nullptr, 0);
  EXPECT_FALSE(os_.ScsiPassThroughDirect(h, &b));
  EXPECT_EQ(os_.GetLastError(), 0x00ABCDEFu);
  EXPECT_EQ(b.Sense[2], 0) << "no sense from a command that never reached the drive";

  b = Block({0, 0, 0, 0, 0, 0}, 2, nullptr, 0);
  EXPECT_FALSE(os_.ScsiPassThroughDirect(h, &b));
  EXPECT_EQ(os_.GetLastError(), 1117u);
  EXPECT_EQ(b.ScsiStatus, sim::kCheckCondition);
  EXPECT_EQ(b.Sense[2], 0x02) << "failed request that still carries sense";
  os_.CloseDevice(h);
}

TEST_F(SimPassThroughTest, SlowDriveBlocksTheCallerUpToTheTimeOut) {
  plat::Handle h = OpenE();
  struct Case {
    uint32_t delay_ms;
    bool ok;
    uint64_t waited;
  };
  for (const Case& c :
       {Case{2000, true, 2000}, Case{10000, true, 10000}, Case{10001, false, 10000}}) {
    SCOPED_TRACE(c.delay_ms);
    drive_.SetAsyncDelay(c.delay_ms);
    const uint64_t start = os_.NowMs();
    PassThroughBlock b = Block({0, 0, 0, 0, 0, 0}, 2, nullptr, 0);
    EXPECT_EQ(os_.ScsiPassThroughDirect(h, &b), c.ok);
    EXPECT_EQ(os_.NowMs() - start, c.waited);
    if (!c.ok) {
      EXPECT_EQ(os_.GetLastError(), sim::kErrorSemTimeout);
    }
  }
  os_.CloseDevice(h);
}

TEST_F(SimPassThroughTest, DriveTypesByRoot) {
  EXPECT_EQ(os_.GetDriveType("E:\\"), 5u);
  EXPECT_EQ(os_.GetDriveType("e:\\"), 5u);
  EXPECT_EQ(os_.GetDriveType("C:\\"), 3u);
  EXPECT_EQ(os_.GetDriveType("Q:\\"), 1u);
  EXPECT_EQ(os_.GetDriveType("E:"), 1u);
}

}  // namespace
