// The emulated drive's contract: what it answers to each command in each
// state, its timing rules and the faults it can be told to show.  Time is a
// plain counter here.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drive_model.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace sim::sense;
constexpr auto kNoData = sim::Direction::kNone, kIn = sim::Direction::kIn,
               kOut = sim::Direction::kOut;
const Bytes kTur{0, 0, 0, 0, 0, 0}, kLeave{0xF6, 0, 0, 0, 0, 0, 0, 0, 0, 0};

struct Bench {
  // Bytes past the CDB length are garbage: they must not matter.
  sim::CommandResult Run(Bytes cdb, sim::Direction dir = kNoData, uint8_t* data = nullptr,
                         uint32_t length = 0) {
    const auto n = static_cast<uint8_t>(cdb.size());
    cdb.resize(16, 0xAA);
    return drive.Execute(cdb.data(), n, dir, data, length);
  }
  void EnterDownload(uint32_t wait_ms = 3000) {
    Run({0xF6, 2, 0, 0, 0, 0, 0, 0, 0, 0});
    now += wait_ms;
  }
  uint64_t now = 1000;
  sim::KestranDrive drive{[this] { return now; }};
};

TEST(SimDrive, AnswersEachCommandAsItsStateSays) {
  constexpr auto kEmpty = sim::Tray::kClosedEmpty, kSpinning = sim::Tray::kBecomingReady;
  struct Case {
    sim::Tray tray;
    int ms;  // F6 02 sent this long before the command; -1: never
    Bytes cdb;
    sim::Direction dir;
    uint32_t length;  // of 0x5A bytes but the first 0x5B: sum 0xD001 for 2048, 0x0001 for 0x8000
    sim::Sense expected;
  };
  const Case cases[] = {
      {kEmpty, -1, kTur, kNoData, 0, kNoMediumTrayClosed},
      {sim::Tray::kOpen, -1, kTur, kNoData, 0, kNoMediumTrayOpen},
      {sim::Tray::kLoaded, -1, kTur, kNoData, 0, kNone},
      {kSpinning, 1999, kTur, kNoData, 0, kBecomingReady},
      {kSpinning, 2000, kTur, kNoData, 0, kNone},
      // Block writes: download mode settled, then length, then place, then checksum.
      {kEmpty, -1, {0xEA, 0, 0, 0, 0x80, 0, 0, 0, 1, 0xD0}, kOut, 2048, kNotInDownload},
      {kEmpty, 2999, {0xEA, 0, 0, 0, 0x80, 0, 0, 0, 1, 0xD0}, kOut, 2048, kNotInDownload},
      {kEmpty, 3000, {0xEA, 0, 0, 0, 0x80, 0, 0, 0, 1, 0xD0}, kOut, 2048, kNone},
      {kEmpty, 3000, {0xEA, 0, 0, 0, 0x80, 0, 0, 0, 1, 0xD1}, kOut, 2048, kChecksumError},
      {kEmpty, 3000, {0xEA, 0, 0, 0, 0x80, 0, 0, 0, 1, 0xD0, 0x01, 0}, kOut, 2048, kNone},
      {kEmpty, 3000, {0xEA, 0, 0, 0, 0x80, 0, 0, 0, 1, 0xD0, 0x00, 0}, kOut, 2048, kChecksumError},
      {kEmpty, 3000, {0xEA, 0, 0, 0x05, 0x80, 0, 0, 0, 0x10, 0, 1, 0}, kOut, 0x8000, kNone},
      {kEmpty, 3000, {0xEA, 0, 0, 0, 0x80, 0, 0, 0, 2, 0xD0}, kOut, 2048, kDataError},
      {kEmpty, 3000, {0xEA, 0, 0, 0, 0x80, 0, 0, 0, 0, 0}, kOut, 0, kDataError},
      {kEmpty, 3000, {0xEA, 0, 0, 0, 0x80, 0, 0, 0, 1, 0xD0}, kIn, 2048, kDataError},
      {kEmpty, 3000, {0xEA, 0, 0, 0x05, 0x88, 0, 0, 0, 0x10, 0}, kOut, 0x8000, kFirmwareDataError},
      {kEmpty, 3000, {0xEA, 0, 0xFF, 0xFF, 0xF8, 0, 0, 0, 2, 0}, kOut, 4096, kFirmwareDataError},
      // Flash control needs download mode (not settled); unknown values are refused.
      {kEmpty, -1, {0xF5, 0, 0, 0, 0, 0, 0, 0x0F, 0, 0}, kNoData, 0, kNotInDownload},
      {kEmpty, 0, {0xF5, 0, 0, 0, 0, 0, 0, 0x01, 0x02, 0}, kNoData, 0, kInvalidField},
      {kEmpty, -1, {0xF6, 1, 0, 0, 0, 0, 0, 0, 0, 0}, kNoData, 0, kInvalidField},
      {kEmpty, -1, {0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0}, kNoData, 0, kInvalidOpcode},
  };
  for (const Case& c : cases) {
    Bench b;
    b.drive.SetTray(c.tray);
    if (c.ms >= 0) b.EnterDownload(c.ms);
    Bytes data(c.length + 1, 0x5A);
    data[0] = 0x5B;
    const auto r = b.Run(c.cdb, c.dir, data.data(), c.length);
    const std::string what = sim::FormatTrace(b.drive.trace().back());
    EXPECT_EQ(r.SenseTriple(), c.expected) << what;
    EXPECT_EQ(r.status, c.expected == kNone ? sim::kGood : sim::kCheckCondition) << what;
    const bool kept = r.status == sim::kGood && c.cdb[0] == 0xEA;
    EXPECT_EQ(b.drive.pending_blocks(), kept ? 1u : 0u) << what;
  }
}

TEST(SimDrive, FlashControlsCommitTheBlocksAndMainProgrammingTakes45s) {
  Bench b;
  Bytes boot(4096, 0x11);  // checksum 0x1000
  b.EnterDownload();
  b.Run({0xEA, 0, 0, 0, 0x80, 0, 0, 0, 2, 0x10}, kOut, boot.data(), 4096);
  b.Run(kLeave);  // drops the block not yet committed
  b.EnterDownload();
  b.Run({0xEA, 0, 0, 0, 0, 0, 0, 0, 2, 0x10}, kOut, boot.data(), 4096);
  EXPECT_EQ(b.drive.flash()[0], 0xFF) << "nothing reaches the flash before its control";
  EXPECT_EQ(b.Run({0xF5, 0, 0, 0, 0, 0, 0, 0x0F, 0x00, 0}).status, sim::kGood);
  EXPECT_EQ(b.drive.flash()[0], 0x11);
  EXPECT_EQ(b.drive.flash()[0x8000], 0xFF) << "the dropped block";
  EXPECT_FALSE(b.drive.in_download_mode()) << "the boot image restarts the loader";

  b.EnterDownload();
  EXPECT_EQ(b.Run({0xF5, 0, 0, 0, 0, 0, 0, 0x00, 0x3F, 0}).status, sim::kGood);
  b.now += 44999;  // programming: all but INQUIRY refused, so download mode stays
  EXPECT_EQ(b.Run(kLeave).SenseTriple(), kBecomingReady);
  uint8_t data[36];
  EXPECT_EQ(b.Run({0x12, 0, 0, 0, 36, 0}, kIn, data, 36).status, sim::kGood);
  b.now += 1;
  EXPECT_EQ(b.Run(kLeave).status, sim::kGood);
}

TEST(SimDrive, InjectedFaultsShowInTheTrace) {
  Bench b;
  std::vector<std::string> trace;
  b.drive.on_command = [&](const sim::TraceEntry& e) { trace.push_back(sim::FormatTrace(e)); };
  Bytes block(2048, 0x11);                               // checksum 0x8800
  b.drive.RefuseWrite(1, sim::Sense{0x09, 0x85, 0x01});  // 0-based over the block writes
  b.drive.RefuseCommand(3, kNone, sim::kBusy);           // 0-based over all commands
  b.drive.FailCommand(4, {0x04, 0x11, 31, false});
  b.drive.FailOpcode(0x00, {0x04, 0x00, 1117, true});
  b.EnterDownload();
  b.Run({0xEA, 0, 0, 0, 0, 0, 0, 0, 1, 0x88, 0, 0}, kOut, block.data(), 2048);
  b.Run({0xEA, 0, 0, 0, 0, 0, 0, 0, 1, 0x88, 0, 0}, kOut, block.data(), 2048);
  b.Run({0xF6, 2, 0, 0, 0, 0, 0, 0, 0, 0});
  b.Run(kLeave);
  EXPECT_TRUE(b.drive.in_download_mode()) << "the failed command never reached the drive";
  b.Run(kTur);
  EXPECT_EQ(trace, (std::vector<std::string>{
                       "F6 02 00 00 00 00 00 00 00 00 none 0 -> 00",
                       "EA 00 00 00 00 00 00 00 01 88 00 00 out 2048 -> 00",
                       "EA 00 00 00 00 00 00 00 01 88 00 00 out 2048 -> 02 09/85/01",
                       "F6 02 00 00 00 00 00 00 00 00 none 0 -> 08 00/00/00",
                       "F6 00 00 00 00 00 00 00 00 00 none 0 -> fault srb=04 ha=11 err=31",
                       "00 00 00 00 00 00 none 0 -> fault srb=04 ha=00 err=1117 02 02/3A/01",
                   }));
}

}  // namespace
