// The emulated drive's contract: what it answers to each command, its timing
// rules and the faults it can be told to show.  Time is a plain counter here.
#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "drive_model.h"

namespace {

using sim::Direction;
using sim::KestranDrive;
using sim::Sense;

class DriveTest : public ::testing::Test {
 protected:
  KestranDrive& Make(sim::DriveConfig config = {}) {
    drive_ = std::make_unique<KestranDrive>([this] { return now_; }, config);
    return *drive_;
  }
  sim::CommandResult Run(std::vector<uint8_t> cdb, Direction dir = Direction::kNone,
                         uint8_t* data = nullptr, uint32_t length = 0) {
    const auto len = static_cast<uint8_t>(cdb.size());
    cdb.resize(16, 0xAA);  // bytes past the CDB length must not matter
    return drive_->Execute(cdb.data(), len, dir, data, length);
  }
  Sense Tur() { return Run({0, 0, 0, 0, 0, 0}).SenseTriple(); }
  void EnterDownload() {
    ASSERT_EQ(Run({0xF6, 2, 0, 0, 0, 0, 0, 0, 0, 0}).status, sim::kGood);
    now_ += 3000;
  }
  // The 10-byte block write CDB the updater builds (12 bytes when asked).
  static std::vector<uint8_t> WriteCdb(uint32_t address, uint32_t units, uint16_t checksum,
                                       uint8_t cdb_length = 10) {
    std::vector<uint8_t> cdb(cdb_length, 0);
    cdb[0] = 0xEA;
    cdb[2] = static_cast<uint8_t>(address >> 24);
    cdb[3] = static_cast<uint8_t>(address >> 16);
    cdb[4] = static_cast<uint8_t>(address >> 8);
    cdb[5] = static_cast<uint8_t>(address);
    cdb[7] = static_cast<uint8_t>(units >> 8);
    cdb[8] = static_cast<uint8_t>(units);
    cdb[9] = static_cast<uint8_t>(checksum >> 8);
    if (cdb_length > 10) cdb[10] = static_cast<uint8_t>(checksum);
    return cdb;
  }
  static uint16_t Sum(const std::vector<uint8_t>& data) {
    return static_cast<uint16_t>(std::accumulate(data.begin(), data.end(), 0u));
  }
  sim::CommandResult Write(uint32_t address, std::vector<uint8_t> data, uint8_t cdb_length = 10) {
    const auto units = static_cast<uint32_t>(data.size() / 2048);
    return Run(WriteCdb(address, units, Sum(data), cdb_length), Direction::kOut, data.data(),
               static_cast<uint32_t>(data.size()));
  }
  static std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 13);
    return v;
  }

  uint64_t now_ = 1000;
  std::unique_ptr<KestranDrive> drive_;
};

constexpr Sense kGoodSense{0, 0, 0};

TEST_F(DriveTest, TestUnitReadyFollowsTrayAndMedium) {
  struct Case {
    sim::Tray tray;
    Sense at_start, after_spin_up;
  };
  for (const Case& c : {
           Case{sim::Tray::kClosedEmpty, sim::sense::kNoMediumTrayClosed,
                sim::sense::kNoMediumTrayClosed},
           Case{sim::Tray::kOpen, sim::sense::kNoMediumTrayOpen, sim::sense::kNoMediumTrayOpen},
           Case{sim::Tray::kLoaded, kGoodSense, kGoodSense},
           Case{sim::Tray::kBecomingReady, sim::sense::kBecomingReady, kGoodSense},
       }) {
    SCOPED_TRACE(static_cast<int>(c.tray));
    sim::DriveConfig config;
    config.tray = c.tray;
    Make(config);
    const auto r = Run({0, 0, 0, 0, 0, 0});
    EXPECT_EQ(r.status, c.at_start == kGoodSense ? sim::kGood : sim::kCheckCondition);
    EXPECT_EQ(r.SenseTriple(), c.at_start);
    if (r.status != sim::kGood) {
      EXPECT_EQ(r.sense[0], 0x70);  // fixed format, current error
      EXPECT_EQ(r.sense[7], 10);
    }
    now_ += config.spin_up_ms - 1;
    EXPECT_EQ(Tur(), c.at_start) << "one ms before the disc is ready";
    now_ += 1;
    EXPECT_EQ(Tur(), c.after_spin_up);
  }
}

TEST_F(DriveTest, EjectOpensTheTrayAndLoadSpinsTheDiscUp) {
  sim::DriveConfig config;
  config.tray = sim::Tray::kLoaded;
  Make(config);
  EXPECT_EQ(Run({0x1B, 0, 0, 0, 0x02, 0}).status, sim::kGood);  // LOEJ, !START: eject
  EXPECT_TRUE(drive_->tray_open());
  EXPECT_EQ(Tur(), sim::sense::kNoMediumTrayOpen);
  EXPECT_EQ(Run({0x1B, 0, 0, 0, 0x01, 0}).status, sim::kGood);  // START only: no tray motion
  EXPECT_TRUE(drive_->tray_open());
  EXPECT_EQ(Run({0x1B, 0, 0, 0, 0x03, 0}).status, sim::kGood);  // LOEJ + START: load
  EXPECT_FALSE(drive_->tray_open());
  EXPECT_EQ(Tur(), sim::sense::kBecomingReady);
  now_ += 2000;
  EXPECT_EQ(Tur(), kGoodSense);
}

TEST_F(DriveTest, InquiryRepliesWithTheConfiguredIdentity) {
  sim::DriveConfig config;
  config.product = "CD-RW  TQ-900W";
  config.revision = "2.1";
  config.byte3 = 0x32;
  Make(config);
  uint8_t data[40];
  std::fill(std::begin(data), std::end(data), 0xEE);
  for (uint8_t opcode : {0x12, 0x13}) {
    auto r = Run({opcode, 0, 0, 0, 36, 0}, Direction::kIn, data, 40);
    ASSERT_EQ(r.status, sim::kGood);
    EXPECT_EQ(r.data_length, 36u);
    EXPECT_EQ(data[0], 5);
    EXPECT_EQ(data[3], 0x32);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data + 8), 28), "KESTRAN CD-RW  TQ-900W  2.1 ");
    EXPECT_EQ(data[36], 0xEE) << "nothing written past the reply";
  }
  // The allocation length byte limits the reply, not the buffer size.
  std::fill(std::begin(data), std::end(data), 0xEE);
  EXPECT_EQ(Run({0x12, 0, 0, 0, 8, 0}, Direction::kIn, data, 40).data_length, 8u);
  EXPECT_EQ(data[8], 0xEE);
  // A 12-byte INQUIRY carries the allocation length in byte 4 as well.
  EXPECT_EQ(Run({0x12, 0, 0, 0, 36, 0, 0, 0, 0, 0, 0, 0}, Direction::kIn, data, 36).data_length,
            36u);

  config.external_inquiry = false;
  Make(config);
  EXPECT_EQ(Run({0x13, 0, 0, 0, 36, 0}, Direction::kIn, data, 36).SenseTriple(),
            sim::sense::kInvalidOpcode);
}

TEST_F(DriveTest, FlakyInquiryDiffersUntilItSettles) {
  Make();
  auto read = [&] {
    std::vector<uint8_t> data(36);
    Run({0x12, 0, 0, 0, 36, 0}, Direction::kIn, data.data(), 36);
    return data;
  };
  const auto settled = read();
  Make();
  drive_->SetFlakyInquiry(3);
  std::vector<std::vector<uint8_t>> replies;
  for (int i = 0; i < 5; ++i) replies.push_back(read());
  for (int i = 1; i < 3; ++i) EXPECT_NE(replies[i], replies[i - 1]) << i;
  for (int i = 0; i < 3; ++i) EXPECT_NE(replies[i], settled) << i;
  EXPECT_EQ(replies[3], settled);
  EXPECT_EQ(replies[4], settled);

  Make();
  drive_->SetFlakyInquiry(sim::kForever);
  auto previous = read();
  for (int i = 0; i < 200; ++i) {
    auto next = read();
    ASSERT_NE(next, previous) << i;
    previous = next;
  }
}

TEST_F(DriveTest, MemoryReadGivesTheBoardVersion) {
  sim::DriveConfig config;
  config.board_version = 0x07;
  Make(config);
  uint8_t data[16];
  std::fill(std::begin(data), std::end(data), 0xEE);
  // F5 00 00 00 00 0F 80 48 00 10 00 00: 16 bytes at 0xF8048
  auto r = Run({0xF5, 0, 0, 0, 0x00, 0x0F, 0x80, 0x48, 0x00, 0x10, 0, 0}, Direction::kIn, data, 16);
  ASSERT_EQ(r.status, sim::kGood);
  EXPECT_EQ(r.data_length, 16u);
  EXPECT_EQ(data[0], 0x07);
  EXPECT_EQ(data[1], 0x00);

  drive_->SetMemory(0xF8047, {0x11, 0x22});
  r = Run({0xF5, 0, 0, 0, 0x00, 0x0F, 0x80, 0x47, 0x00, 0x04, 0, 0}, Direction::kIn, data, 16);
  EXPECT_EQ(r.data_length, 4u) << "the CDB's length limits the read";
  EXPECT_EQ(data[0], 0x11);
  EXPECT_EQ(data[1], 0x22);
}

TEST_F(DriveTest, WritesWaitForDownloadModeToSettle) {
  Make();
  const auto block = Pattern(4096, 1);
  EXPECT_EQ(Write(0, block).SenseTriple(), sim::sense::kNotInDownload) << "mode never entered";
  Run({0xF6, 2, 0, 0, 0, 0, 0, 0, 0, 0});
  now_ += 2999;
  EXPECT_EQ(Write(0, block).SenseTriple(), sim::sense::kNotInDownload) << "2999 ms after";
  now_ += 1;
  EXPECT_EQ(Write(0, block).status, sim::kGood) << "3000 ms after";
  // Entering again starts the wait again.
  Run({0xF6, 2, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(Write(0, block).SenseTriple(), sim::sense::kNotInDownload);
  Run({0xF6, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  now_ += 5000;
  EXPECT_EQ(Write(0, block).SenseTriple(), sim::sense::kNotInDownload) << "mode left";
  EXPECT_EQ(Run({0xF6, 1, 0, 0, 0, 0, 0, 0, 0, 0}).SenseTriple(), sim::sense::kInvalidField);
}

TEST_F(DriveTest, ChecksumIsCheckedAsTheCdbWidthCarriesIt) {
  auto block = Pattern(2048, 7);
  block[0] = 0x01;  // makes the sum's low byte non-zero for this pattern
  const uint16_t sum = Sum(block);
  ASSERT_NE(sum & 0xFF, 0);
  struct Case {
    const char* name;
    uint8_t cdb_length;
    uint16_t sent;
    bool accepted;
  };
  for (const Case& c : {
           Case{"10-byte, right high byte", 10, sum, true},
           Case{"10-byte, low byte absent", 10, static_cast<uint16_t>(sum & 0xFF00), true},
           Case{"10-byte, wrong high byte", 10, static_cast<uint16_t>(sum + 0x100), false},
           Case{"12-byte, both bytes right", 12, sum, true},
           Case{"12-byte, wrong low byte", 12, static_cast<uint16_t>(sum ^ 0x01), false},
           Case{"12-byte, wrong high byte", 12, static_cast<uint16_t>(sum ^ 0x100), false},
       }) {
    SCOPED_TRACE(c.name);
    Make();
    EnterDownload();
    auto data = block;
    auto r = Run(WriteCdb(0x8000, 1, c.sent, c.cdb_length), Direction::kOut, data.data(), 2048);
    EXPECT_EQ(r.SenseTriple(), c.accepted ? kGoodSense : sim::sense::kChecksumError);
  }
}

TEST_F(DriveTest, BlockLengthAndPlaceAreChecked) {
  struct Case {
    const char* name;
    uint32_t address, units, length;
    Direction dir;
    Sense expected;
  };
  const Sense ok = kGoodSense;
  for (const Case& c : {
           Case{"one unit", 0x0, 1, 2048, Direction::kOut, ok},
           Case{"last main block", 0x58000, 16, 0x8000, Direction::kOut, ok},
           Case{"units disagree with length", 0x0, 2, 2048, Direction::kOut,
                sim::sense::kDataError},
           Case{"no units", 0x0, 0, 0, Direction::kOut, sim::sense::kDataError},
           Case{"data-in", 0x0, 1, 2048, Direction::kIn, sim::sense::kDataError},
           Case{"ends past the flash", 0x58800, 16, 0x8000, Direction::kOut,
                sim::sense::kFirmwareDataError},
           Case{"starts past the flash", 0x60000, 1, 2048, Direction::kOut,
                sim::sense::kFirmwareDataError},
           Case{"address wraps", 0xFFFFF800, 2, 4096, Direction::kOut,
                sim::sense::kFirmwareDataError},
       }) {
    SCOPED_TRACE(c.name);
    Make();
    EnterDownload();
    std::vector<uint8_t> data(std::max<uint32_t>(c.length, 1), 0x5A);
    const uint16_t sum = static_cast<uint16_t>(0x5A * c.length);
    auto r = Run(WriteCdb(c.address, c.units, sum, 12), c.dir, data.data(), c.length);
    EXPECT_EQ(r.SenseTriple(), c.expected);
    EXPECT_EQ(drive_->pending_blocks(), c.expected == ok ? 1u : 0u);
  }
}

TEST_F(DriveTest, FlashControlsCommitTheImagesAndMainProgrammingTakes45s) {
  sim::DriveConfig config;
  config.tray = sim::Tray::kLoaded;
  Make(config);
  const auto boot = Pattern(4096, 3), main = Pattern(32768, 9);
  EXPECT_EQ(Run({0xF5, 0, 0, 0, 0, 0, 0, 0x0F, 0x00, 0}).SenseTriple(), sim::sense::kNotInDownload)
      << "flash control outside download mode";

  EnterDownload();
  ASSERT_EQ(Write(0x0, boot).status, sim::kGood);
  EXPECT_EQ(drive_->flash()[0], 0xFF) << "nothing reaches the flash before its control";
  ASSERT_EQ(Run({0xF5, 0, 0, 0, 0, 0, 0, 0x0F, 0x00, 0}).status, sim::kGood);
  EXPECT_EQ(drive_->boot_commits(), 1u);
  EXPECT_FALSE(drive_->in_download_mode()) << "the boot image restarts the loader";
  EXPECT_EQ(Write(0x8000, main).SenseTriple(), sim::sense::kNotInDownload);

  EnterDownload();
  ASSERT_EQ(Write(0x8000, main).status, sim::kGood);
  ASSERT_EQ(Run({0xF5, 0, 0, 0, 0, 0, 0, 0x00, 0x3F, 0, 0, 0}).status, sim::kGood);
  EXPECT_EQ(drive_->main_commits(), 1u);
  EXPECT_TRUE(std::equal(boot.begin(), boot.end(), drive_->flash().begin()));
  EXPECT_TRUE(std::equal(main.begin(), main.end(), drive_->flash().begin() + 0x8000));
  EXPECT_EQ(drive_->flash()[0x4000], 0xFF) << "the gap between the images stays erased";

  // Busy while programming: every command but INQUIRY says becoming ready.
  now_ += 44999;
  EXPECT_TRUE(drive_->programming());
  EXPECT_EQ(Tur(), sim::sense::kBecomingReady);
  EXPECT_EQ(Run({0xF6, 0, 0, 0, 0, 0, 0, 0, 0, 0}).SenseTriple(), sim::sense::kBecomingReady);
  EXPECT_TRUE(drive_->in_download_mode()) << "download mode cannot be left while programming";
  uint8_t data[36];
  EXPECT_EQ(Run({0x12, 0, 0, 0, 36, 0}, Direction::kIn, data, 36).status, sim::kGood);
  now_ += 1;
  EXPECT_FALSE(drive_->programming());
  EXPECT_EQ(Tur(), kGoodSense);
  EXPECT_EQ(Run({0xF6, 0, 0, 0, 0, 0, 0, 0, 0, 0}).status, sim::kGood);
  EXPECT_FALSE(drive_->in_download_mode());

  EXPECT_EQ(Run({0xF5, 0, 0, 0, 0, 0, 0, 0x01, 0x02, 0}).SenseTriple(), sim::sense::kNotInDownload);
  EnterDownload();
  EXPECT_EQ(Run({0xF5, 0, 0, 0, 0, 0, 0, 0x01, 0x02, 0}).SenseTriple(), sim::sense::kInvalidField)
      << "unknown control values";
}

TEST_F(DriveTest, BlocksWithoutTheirFlashControlAreDropped) {
  Make();
  EnterDownload();
  ASSERT_EQ(Write(0x8000, Pattern(2048, 1)).status, sim::kGood);
  Run({0xF6, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  EnterDownload();
  Run({0xF5, 0, 0, 0, 0, 0, 0, 0x00, 0x3F, 0});
  EXPECT_EQ(drive_->flash()[0x8000], 0xFF);
}

TEST_F(DriveTest, InjectedRefusalsAndTransportFaults) {
  Make();
  EnterDownload();  // command 0
  const Sense odd{0x09, 0x85, 0x01};
  drive_->RefuseWrite(1, odd);
  EXPECT_EQ(Write(0, Pattern(2048, 1)).status, sim::kGood);  // write 0, command 1
  auto r = Write(0x800, Pattern(2048, 2));                   // write 1, command 2
  EXPECT_EQ(r.status, sim::kCheckCondition);
  EXPECT_EQ(r.SenseTriple(), odd);
  EXPECT_EQ(Write(0x800, Pattern(2048, 2)).status, sim::kGood);  // write 2

  drive_->RefuseCommand(4, sim::sense::kNone, sim::kBusy);
  Tur();  // command 4
  Tur();  // command 5 is not refused
  EXPECT_EQ(drive_->trace()[4].result.status, sim::kBusy);
  EXPECT_EQ(drive_->trace()[4].result.SenseTriple(), kGoodSense);
  EXPECT_EQ(drive_->trace()[5].result.status, sim::kCheckCondition);

  // A failure below the drive: the drive never sees the command.
  sim::TransportFault fault;
  fault.srb_status = 0x04;
  fault.ha_stat = 0x11;
  drive_->FailCommand(6, fault);
  r = Run({0xF6, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_TRUE(r.transport_failed);
  EXPECT_EQ(r.fault.ha_stat, 0x11);
  EXPECT_TRUE(drive_->in_download_mode()) << "the failed command did not reach the drive";

  // Every command of one opcode; with reaches_drive the drive still answers.
  fault.reaches_drive = true;
  fault.win32_error = 1117;
  drive_->FailOpcode(0x00, fault);
  r = Run({0, 0, 0, 0, 0, 0});
  EXPECT_TRUE(r.transport_failed);
  EXPECT_EQ(r.SenseTriple(), sim::sense::kNoMediumTrayClosed);
  EXPECT_EQ(r.fault.win32_error, 1117u);

  drive_->ClearFaults();
  EXPECT_FALSE(Run({0, 0, 0, 0, 0, 0}).transport_failed);
}

TEST_F(DriveTest, TraceRecordsEveryCommand) {
  Make();
  std::vector<std::string> seen;
  drive_->on_command = [&](const sim::TraceEntry& e) { seen.push_back(sim::FormatTrace(e)); };
  EnterDownload();
  std::vector<uint8_t> block(2048, 0xFF);
  Run(WriteCdb(0x8000, 1, 0xF900), Direction::kOut, block.data(), 2048);
  drive_->FailOpcode(0x12, sim::TransportFault{});
  Run({0x12, 0, 0, 0, 36, 0}, Direction::kIn, block.data(), 36);

  ASSERT_EQ(drive_->trace().size(), 3u);
  const auto& write = drive_->trace()[1];
  EXPECT_EQ(write.index, 1u);
  EXPECT_EQ(write.time_ms, 4000u);
  EXPECT_EQ(write.cdb_length, 10);
  EXPECT_EQ(write.cdb[10], 0) << "bytes past the CDB length are not recorded";
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "F6 02 00 00 00 00 00 00 00 00 none 0 -> 00",
                      "EA 00 00 00 80 00 00 00 01 F9 out 2048 -> 02 09/86/00",
                      "12 00 00 00 24 00 in 36 -> fault srb=04 ha=00 err=31",
                  }));
}

TEST_F(DriveTest, UnknownCommandsAreRefused) {
  Make();
  EXPECT_EQ(Run({0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0}).SenseTriple(), sim::sense::kInvalidOpcode);
  uint8_t data[4];
  EXPECT_EQ(Run({0xF5, 0, 0, 0, 0, 0, 0, 0, 0, 4}, Direction::kOut, data, 4).SenseTriple(),
            sim::sense::kInvalidField);
}

}  // namespace
