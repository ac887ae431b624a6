// The emulated drive's contract: what it answers to each command in each
// state, its timing rules and the faults it can be told to show, and the
// configuration text that builds it for the DLL and the preload library.
// Time is a plain counter here.  The answers the updater relies on are held
// by its own tests; these are the ones it never provokes.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "drive_model.h"
#include "sim_config.h"

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
  struct Case {
    int ms;  // F6 02 sent this long before the command; -1: never
    Bytes cdb;
    sim::Direction dir;
    uint32_t length;  // of 0x5A bytes but the first 0x5B: sum 0xD001 for 2048, 0x0001 for 0x8000
    sim::Sense expected;
  };
  const Case cases[] = {
      // The disc is loaded as the test starts: not ready for 2000 ms.
      {1999, kTur, kNoData, 0, kBecomingReady},
      // Block writes: download mode settled, then length, then place, then checksum.
      {2999, {0xEA, 0, 0, 0, 0x80, 0, 0, 0, 1, 0xD0}, kOut, 2048, kNotInDownload},
      {3000, {0xEA, 0, 0, 0, 0x80, 0, 0, 0, 1, 0xD0, 0x01, 0}, kOut, 2048, kNone},
      {3000, {0xEA, 0, 0, 0, 0x80, 0, 0, 0, 1, 0xD0, 0x00, 0}, kOut, 2048, kChecksumError},
      {3000, {0xEA, 0, 0, 0x05, 0x80, 0, 0, 0, 0x10, 0, 1, 0}, kOut, 0x8000, kNone},
      {3000, {0xEA, 0, 0, 0, 0x80, 0, 0, 0, 2, 0xD0}, kOut, 2048, kDataError},
      {3000, {0xEA, 0, 0, 0, 0x80, 0, 0, 0, 0, 0}, kOut, 0, kDataError},
      {3000, {0xEA, 0, 0, 0, 0x80, 0, 0, 0, 1, 0xD0}, kIn, 2048, kDataError},
      {3000, {0xEA, 0, 0, 0x05, 0x88, 0, 0, 0, 0x10, 0}, kOut, 0x8000, kFirmwareDataError},
      {3000, {0xEA, 0, 0xFF, 0xFF, 0xF8, 0, 0, 0, 2, 0}, kOut, 4096, kFirmwareDataError},
      // Flash control needs download mode (not settled); unknown values are refused.
      {-1, {0xF5, 0, 0, 0, 0, 0, 0, 0x0F, 0, 0}, kNoData, 0, kNotInDownload},
      {0, {0xF5, 0, 0, 0, 0, 0, 0, 0x01, 0x02, 0}, kNoData, 0, kInvalidField},
      {-1, {0xF6, 1, 0, 0, 0, 0, 0, 0, 0, 0}, kNoData, 0, kInvalidField},
      {-1, {0x28, 0, 0, 0, 0, 0, 0, 0, 0, 0}, kNoData, 0, kInvalidOpcode},
  };
  for (const Case& c : cases) {
    Bench b;
    b.drive.SetTray(sim::Tray::kBecomingReady);
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

// The trace line of a fault below the drive that still let the drive answer.
TEST(SimDrive, TraceShowsTheDrivesAnswerBesideAFault) {
  Bench b;
  b.drive.FailOpcode(0x00, {0x04, 0x11, 1117, true});
  b.Run(kTur);
  EXPECT_EQ(sim::FormatTrace(b.drive.trace().back()),
            "00 00 00 00 00 00 none 0 -> fault srb=04 ha=11 err=1117 02 02/3A/01");
}

uint64_t Now() { return 0; }

TEST(SimConfigTest, BuildsAdaptersInOrderWithTheirDrives) {
  const std::string text = R"(adapter   # comment
drive target=1 revision="1.\x41\""
adapter
drive target=2
refuse command=0 sense=02/04/01 status=8
refuse write=0 status=0x08
drive target=3
attention command=1
attention eject=yes
refuse cdb=F6 sense=05/26/00
refuse cdb="F6 02" nth=1 sense=05/24/00
)";
  sim::SimSetup setup;
  std::string error;
  ASSERT_TRUE(sim::LoadSimConfig(text, Now, setup, &error)) << error;
  EXPECT_EQ(setup.labels, (std::vector<std::string>{"0:1", "1:2", "1:3"}));
  EXPECT_EQ(setup.drives[0]->InquiryData()[35], '"');
  // Both refusals answer BUSY: the status in decimal, then in hex.
  EXPECT_EQ(setup.drives[1]->Execute(kTur.data(), 6, kNoData, nullptr, 0).status, sim::kBusy);
  uint8_t block[2048] = {};
  const uint8_t write[10] = {0xEA, 0, 0, 0, 0x80, 0, 0, 0, 1, 0};
  EXPECT_EQ(setup.drives[1]->Execute(write, 10, kOut, block, sizeof block).status, sim::kBusy);
  // A unit attention raised before command 1 waits for a command other than
  // INQUIRY; an eject raises another; the first download-mode request of
  // those that reach the drive is refused by one rule, the second by another.
  const Bytes eject{0x1B, 0, 0, 0, 2, 0}, enter{0xF6, 2, 0, 0, 0, 0, 0, 0, 0, 0};
  const Bytes inquiry{0x12, 0, 0, 0, 36, 0};
  std::string answers;
  for (const Bytes& cdb : {kTur, inquiry, kTur, eject, enter, enter, enter}) {
    const bool in = cdb[0] == 0x12;
    setup.drives[2]->Execute(cdb.data(), static_cast<uint8_t>(cdb.size()), in ? kIn : kNoData,
                             block, in ? 36 : 0);
    answers += sim::FormatTrace(setup.drives[2]->trace().back()).substr(3 * cdb.size()) + ";";
  }
  EXPECT_EQ(answers,
            "none 0 -> 02 02/3A/01;in 36 -> 00;none 0 -> 02 06/29/00;none 0 -> 00;"
            "none 0 -> 02 06/28/00;none 0 -> 02 05/26/00;none 0 -> 02 05/24/00;");
}

TEST(SimConfigTest, BadLinesAreReportedWithTheirNumber) {
  auto error_of = [](const std::string& text) {
    sim::SimSetup setup;
    std::string error;
    EXPECT_FALSE(sim::LoadSimConfig(text, Now, setup, &error)) << text;
    return error;
  };
  EXPECT_EQ(error_of("drive target=1"), "line 1: drive before any adapter");
  EXPECT_EQ(error_of("adapter\nrefuse write=1 sense=09/86/00"),
            "line 2: refuse needs a drive line before it");
  // Each after "adapter" and "drive target=1".
  for (const auto& [line, error] : std::vector<std::pair<std::string, std::string>>{
           {"drive", "drive needs target="},
           {"drive target=1", "target used twice"},
           {"adapter align=0x10000", "bad number for align: '0x10000'"},
           {"adapter targets=8x", "bad number for targets: '8x'"},
           {"adapter colour=red", "unknown field 'colour' for adapter"},
           {"drive target=2 vendor=\"KESTRAN", "unterminated quote in vendor"},
           {"drive target=2 tray=ajar", "tray must be closed, open, loaded or becoming"},
           {"drive target=2 board=1 board=2", "field given twice: board"},
           {"drive target=2 external=maybe", "expected yes or no for external"},
           {"refuse write=1 sense=0986", "sense must be KK/AA/QQ (hex)"},
           {"refuse sense=09/86/00", "refuse needs one of write=, command=, cdb="},
           {"refuse write=1 nth=1 sense=09/86/00", "nth= goes with cdb="},
           {"attention sense=06/29/00", "attention needs command= or eject="},
           {"refuse write=1", "CHECK CONDITION needs sense="},
           {"fail command=1 opcode=2", "fail needs command= or opcode="},
           {"flaky inquiry=often", "flaky needs inquiry=N or inquiry=forever"},
           {"memory addr=1 bytes=ABC", "memory needs bytes=<hex>"},
           {"bus", "unknown statement 'bus'"},
           {"adapter target", "expected key=value at 'target'"},
       }) {
    EXPECT_EQ(error_of("adapter\ndrive target=1\n" + line), "line 3: " + error);
  }
}

}  // namespace
