// Both transports against the emulated drive: what the drive accepts and
// refuses arrives as the result codes and texts the update relies on.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "fake_platform.h"
#include "fake_hooks.h"
#include "transport/transport.h"
#include "update/update_state.h"

namespace {

class SimTransportTest : public ::testing::TestWithParam<std::tuple<uint8_t, bool>> {
 protected:
  void SetUp() override {
    ResetTransportState();
    ResetUpdateState();
    bus_.AddAdapter(0x3);
    bus_.AttachDrive(0, 1, &drive_);
    sim::ConnectAspi(os_, bus_);
    pt_.AttachDrive('E', &drive_, 0x1FF);
    sim::ConnectPassThrough(os_, pt_);

    TransportKind = std::get<0>(GetParam());
    record_.TargetId = 1;
    record_.DriveLetter[0] = 'E';
    record_.AlignMask = 0x3;
    record_.UsesCdb12 = std::get<1>(GetParam()) ? 1 : 0;
    if (TransportKind == Aspi) {
      ASSERT_EQ(LoadAspiLibrary(), 1);
      ASSERT_EQ(QueryAspiSupport(), 2);
    }
  }
  void TearDown() override {
    if (TransportKind == Aspi) FreeAspiLibrary();
    sim::SimAspi::SetCurrent(nullptr);
    ResetTransportState();
    ResetUpdateState();
  }
  void Sleep(uint32_t ms) {
    plat::Handle tick = os_.CreateEvent();
    os_.WaitForEvent(tick, ms);
    os_.CloseEvent(tick);
  }
  void EnterDownloadMode() {
    ASSERT_EQ(SetDownloadMode(record_, 2), 0);
    Sleep(3000);
  }
  static std::vector<uint8_t> Pattern(size_t length, uint32_t seed) {
    std::vector<uint8_t> out(length);
    for (auto& b : out) b = static_cast<uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
    return out;
  }
  // Every outgoing buffer met the adapter's alignment.
  void ExpectAlignedTransfers() {
    for (const auto& call : pt_.calls()) EXPECT_TRUE(call.aligned);
    for (const auto& request : bus_.requests()) EXPECT_NE(request.status, sim::kSsBufferAlign);
  }

  FakePlatform os_;
  sim::KestranDrive drive_{sim::FakeClock(os_)};
  sim::SimAspi bus_;
  sim::SimPassThrough pt_;
  DriveRecord record_{};
};

TEST_P(SimTransportTest, BlocksReachTheFlashWithTheChecksumTheDriveVerifies) {
  EnterDownloadMode();
  const auto first = Pattern(32768, 1), second = Pattern(4096, 2);
  EXPECT_EQ(WriteFlashBlock(record_, first.data(), 32768, 0x8000), 0);
  EXPECT_EQ(WriteFlashBlock(record_, second.data(), 4096, 0x10000), 0);
  EXPECT_EQ(FlashControl(record_, 0x00, 0x3F), 0);
  const auto& flash = drive_.flash();
  EXPECT_TRUE(std::equal(first.begin(), first.end(), flash.begin() + 0x8000));
  EXPECT_TRUE(std::equal(second.begin(), second.end(), flash.begin() + 0x10000));
  ExpectAlignedTransfers();
}

TEST_P(SimTransportTest, InquiryComesBackIntoTheCallersBuffer) {
  uint8_t reply[36] = {};
  ASSERT_EQ(Inquiry(record_, reply, 36), 0);
  EXPECT_EQ(reply[0], 5);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(reply) + 8, 8), "KESTRAN ");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(reply) + 32, 4), "1.00");
}

TEST_P(SimTransportTest, EmptyClosedTrayLeavesItsSenseForTheTrayRule) {
  EXPECT_EQ(TestUnitReady(record_), 4);
  EXPECT_EQ(LastCommand->SenseArea[2], 0x02);
  EXPECT_EQ(LastCommand->SenseArea[12], 0x3A);
  EXPECT_EQ(LastCommand->SenseArea[13], 0x01);
  EXPECT_EQ(StartStopUnit(record_, 2, 0), 0);
  EXPECT_TRUE(drive_.tray_open());
}

TEST_P(SimTransportTest, RefusedBlockBecomesTheTextTheDialogShows) {
  struct Case {
    sim::Sense sense;
    const char* text;
  };
  const Case cases[] = {
      {sim::sense::kEraseFailure, "Erase failure. (Code 09-82-00)"},
      {sim::sense::kNotErased, "Flash rom not erased. (Code 09-84-00)"},
      {sim::sense::kWriteError, "Flash rom write error. (Code 09-85-00)"},
      {sim::sense::kChecksumError, "Flash rom check sum error. (Code 09-86-00)"},
      {sim::sense::kFirmwareDataError, "Firmware data error. (Code 09-87-00)"},
      {sim::sense::kTransferDataError, "Firmware Transfer data error. (Code 09-88-00)"},
      {sim::sense::kDataError, "Firmware data error. (Code 04-40-f5)"},
      {sim::sense::kNotInDownload, "Firmware Transfer data error. (Code 04-40-f6)"},
      {sim::Sense{0x09, 0x99, 0x00}, ""},
  };
  EnterDownloadMode();
  const auto block = Pattern(4096, 3);
  for (uint32_t i = 0; i < std::size(cases); ++i) {
    drive_.RefuseWrite(i, cases[i].sense);
    ProgressCounter = 3;
    LastErrorText = "stale";
    EXPECT_EQ(CheckCommandResult(WriteFlashBlock(record_, block.data(), 4096, 0)), -1);
    EXPECT_EQ(LastErrorText, cases[i].text);
    EXPECT_EQ(ProgressCounter.load(), 0u);
  }
}

TEST_P(SimTransportTest, WriteBeforeDownloadModeSettlesIsRefused) {
  ASSERT_EQ(SetDownloadMode(record_, 2), 0);
  Sleep(1000);
  const auto block = Pattern(2048, 4);
  EXPECT_EQ(CheckCommandResult(WriteFlashBlock(record_, block.data(), 2048, 0)), -1);
  EXPECT_EQ(LastErrorText, "Firmware Transfer data error. (Code 04-40-f6)");
}

TEST_P(SimTransportTest, FailureBelowTheDriveIsReportedByTheTransport) {
  EnterDownloadMode();
  sim::TransportFault fault;
  fault.srb_status = 0x04;
  fault.ha_stat = 0x11;
  fault.win32_error = sim::kErrorSemTimeout;
  drive_.FailOpcode(0xEA, fault);
  const auto block = Pattern(2048, 5);
  const int result = WriteFlashBlock(record_, block.data(), 2048, 0);
  EXPECT_EQ(CheckCommandResult(result), -1);
  if (TransportKind == Aspi) {
    EXPECT_EQ(result, 2);
    EXPECT_EQ(LastErrorText, "HA_Status: Selection Timeout.");
  } else {
    EXPECT_EQ(result, -3);
    EXPECT_EQ(LastErrorText, "System error (Win32): Code 121\n");
  }
}

INSTANTIATE_TEST_SUITE_P(BothTransports, SimTransportTest,
                         ::testing::Combine(::testing::Values<uint8_t>(Aspi, PassThrough),
                                            ::testing::Bool()),
                         [](const ::testing::TestParamInfo<SimTransportTest::ParamType>& info) {
                           return std::string(std::get<0>(info.param) == Aspi ? "Aspi"
                                                                              : "PassThrough") +
                                  (std::get<1>(info.param) ? "_Cdb12" : "_Cdb10or6");
                         });

// ASPI completing later: each command waits on its own event until the drive
// has answered, in virtual time.
TEST(SimAspiTransport, AsynchronousCompletionIsAwaited) {
  ResetTransportState();
  FakePlatform os;
  sim::KestranDrive drive(sim::FakeClock(os));
  sim::SimAspi bus;
  bus.AddAdapter();
  bus.AttachDrive(0, 1, &drive);
  sim::ConnectAspi(os, bus);
  ASSERT_EQ(LoadAspiLibrary(), 1);
  DriveRecord record{};
  record.TargetId = 1;
  drive.SetAsyncDelay(750);
  drive.SetTray(sim::Tray::kLoaded);
  uint8_t reply[36] = {};
  EXPECT_EQ(Inquiry(record, reply, 36), 0);
  EXPECT_EQ(reply[0], 5);
  EXPECT_EQ(TestUnitReady(record), 0);
  EXPECT_EQ(os.NowMs(), 1500u);
  EXPECT_EQ(bus.pending(), 0);
  FreeAspiLibrary();
  sim::SimAspi::SetCurrent(nullptr);
  ResetTransportState();
}

}  // namespace
