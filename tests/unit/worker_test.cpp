// The flash worker against the emulated drive: command order and timing, the
// tray rule, progress counting, stopping at the first refused block, and what
// ends up in the drive's flash.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "restart/restart.h"
#include "update_bench.h"

namespace {

using Via = UpdateBench::Via;

std::vector<std::string>& operator+=(std::vector<std::string>& a,
                                     const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::vector<std::string> BootWrites() {
  return {"W 0/4096", "W 1000/4096", "W 2000/4096", "W 3000/4096"};
}
std::vector<std::string> MainWrites(int count = 11) {
  std::vector<std::string> writes;
  for (int n = 0; n < count; ++n) {
    char text[32];
    std::snprintf(text, sizeof text, "W %X/32768", 0x8000 + n * 0x8000);
    writes.push_back(text);
  }
  return writes;
}

std::vector<std::string> FullSequence(bool boot, bool eject) {
  std::vector<std::string> s = {"TUR", "TUR"};
  if (eject) s.push_back("EJECT");
  if (boot) {
    s.push_back("DL2");
    s += BootWrites();
    s += {"FC 0F/00", "TUR", "TUR", "TUR"};
  }
  s.push_back("DL2");
  s += MainWrites();
  s += {"FC 00/3F", "DL0", "TUR", "TUR"};
  return s;
}

class WorkerTest : public ::testing::TestWithParam<Via> {
 protected:
  WorkerTest() : bench_(GetParam()) {}
  void Start() {
    bench_.AddDrive();
    ProgressCounter.store(1);
    WorkerState.store(1);
    // The counter as the drive sees it before each command.
    bench_.drive.on_command = [this](const sim::TraceEntry&) {
      counters_.push_back(ProgressCounter.load());
    };
  }
  UpdateBench bench_;
  std::vector<uint32_t> counters_;
};

TEST_P(WorkerTest, WithBootImageSendsTheWholeSequenceWithItsWaits) {
  bench_.LoadImages(true);
  Start();
  RunFlashSequence();
  EXPECT_EQ(bench_.Commands(), FullSequence(true, false));

  // When each command went out, in virtual milliseconds.
  std::vector<uint64_t> times;
  for (const auto& e : bench_.drive.trace()) times.push_back(e.time_ms);
  std::vector<uint64_t> expected = {0, 0, 0};              // TUR TUR DL2
  for (int i = 0; i < 5; ++i) expected.push_back(3000);    // boot blocks, FC
  for (int i = 0; i < 4; ++i) expected.push_back(8000);    // TUR x3, DL2
  for (int i = 0; i < 12; ++i) expected.push_back(11000);  // main blocks, FC
  expected.push_back(56000);                               // DL0
  expected.push_back(59000);                               // TUR
  expected.push_back(59000);                               // TUR
  EXPECT_EQ(times, expected);
  EXPECT_EQ(bench_.fake.NowMs(), 59000u);

  // +2 per boot block, +16 per main block, and the final reset.
  std::vector<uint32_t> seen(counters_.begin() + 3, counters_.begin() + 8);
  EXPECT_EQ(seen, (std::vector<uint32_t>{1, 3, 5, 7, 9}));
  EXPECT_EQ(counters_[counters_.size() - 4], 185u);  // at DL0
  EXPECT_EQ(ProgressCounter.load(), 0u);
  EXPECT_EQ(WorkerState.load(), 2);
  EXPECT_EQ(bench_.drive.boot_commits(), 1u);
  EXPECT_EQ(bench_.drive.main_commits(), 1u);
  EXPECT_FALSE(bench_.drive.in_download_mode());
}

TEST_P(WorkerTest, FlashHoldsTheImageDataAtTheFixedAddresses) {
  bench_.LoadImages(true);
  Start();
  RunFlashSequence();
  const auto& flash = bench_.drive.flash();
  const uint8_t* boot = UpdatePackage.BootImage + 32;
  const uint8_t* main = UpdatePackage.MainImage + 32;
  EXPECT_TRUE(std::equal(flash.begin(), flash.begin() + 0x4000, boot));
  EXPECT_TRUE(std::all_of(flash.begin() + 0x4000, flash.begin() + 0x8000,
                          [](uint8_t b) { return b == 0xFF; }));
  EXPECT_TRUE(std::equal(flash.begin() + 0x8000, flash.end(), main));
  EXPECT_EQ(flash.size(), 0x60000u);
}

TEST_P(WorkerTest, WithoutBootImageGoesFromTheTrayStraightToTheMainImage) {
  bench_.LoadImages(false);
  bench_.drive.SetTray(sim::Tray::kLoaded);
  Start();
  RunFlashSequence();
  EXPECT_EQ(bench_.Commands(), FullSequence(false, true));
  EXPECT_EQ(bench_.fake.NowMs(), 51000u);
  EXPECT_EQ(counters_[counters_.size() - 4], 177u);
  EXPECT_EQ(WorkerState.load(), 2);
  EXPECT_EQ(ProgressCounter.load(), 0u);
  EXPECT_TRUE(std::all_of(bench_.drive.flash().begin(), bench_.drive.flash().begin() + 0x8000,
                          [](uint8_t b) { return b == 0xFF; }));
}

TEST_P(WorkerTest, RefusedFirstBootBlockStopsEverythingWithTheCounterAtZero) {
  bench_.LoadImages(true);
  bench_.drive.RefuseWrite(0, sim::sense::kWriteError);
  Start();
  RunFlashSequence();
  EXPECT_EQ(bench_.Commands(), (std::vector<std::string>{"TUR", "TUR", "DL2", "W 0/4096"}));
  EXPECT_EQ(ProgressCounter.load(), 0u);
  EXPECT_EQ(WorkerState.load(), 1);
  EXPECT_EQ(LastErrorText, "Flash rom write error. (Code 09-85-00)");
  EXPECT_TRUE(bench_.drive.in_download_mode());
  EXPECT_EQ(bench_.fake.NowMs(), 3000u);
}

TEST_P(WorkerTest, RefusedLastMainBlockSendsNothingMore) {
  bench_.LoadImages(true);
  bench_.drive.RefuseWrite(14, sim::sense::kDataError);
  Start();
  RunFlashSequence();
  std::vector<std::string> expected = FullSequence(true, false);
  expected.resize(expected.size() - 4);  // up to and including the last block
  EXPECT_EQ(bench_.Commands(), expected);
  EXPECT_EQ(counters_.back(), 169u);  // 1 + 8 + 10 x 16 before the refused block
  EXPECT_EQ(ProgressCounter.load(), 0u);
  EXPECT_EQ(WorkerState.load(), 1);
  EXPECT_EQ(LastErrorText, "Firmware data error. (Code 04-40-f5)");
  EXPECT_EQ(bench_.drive.main_commits(), 0u);
}

TEST_P(WorkerTest, OtherFailuresAreIgnoredAndTheTimingStays) {
  bench_.LoadImages(false);
  bench_.drive.SetTray(sim::Tray::kOpen);
  bench_.drive.FailOpcode(0x1B, sim::TransportFault{});       // the eject
  bench_.drive.RefuseCommand(15, sim::sense::kInvalidField);  // the flash control
  bench_.drive.RefuseCommand(16, sim::sense::kInvalidField);  // leaving download mode
  bench_.drive.FailCommand(18, sim::TransportFault{});        // the last TUR
  Start();
  RunFlashSequence();
  EXPECT_EQ(bench_.Commands(), FullSequence(false, true));
  EXPECT_EQ(WorkerState.load(), 2);
  EXPECT_EQ(ProgressCounter.load(), 0u);
  EXPECT_EQ(bench_.fake.NowMs(), 51000u);
}

INSTANTIATE_TEST_SUITE_P(BothTransports, WorkerTest,
                         ::testing::Values(Via::kPassThrough, Via::kAspi), [](const auto& info) {
                           return info.param == Via::kAspi ? "Aspi" : "PassThrough";
                         });

// The tray rule, read from the second TEST UNIT READY's sense bytes as the
// command record holds them.
struct TrayCase {
  const char* name;
  sim::Tray tray;
  bool refuse_second;  // second TUR answered with `sense` instead
  sim::Sense sense;
  bool eject;
};

class TrayRuleTest : public ::testing::TestWithParam<TrayCase> {};

TEST_P(TrayRuleTest, EjectUnlessTheDriveReportsAClosedEmptyTray) {
  UpdateBench bench;
  bench.LoadImages(false);
  bench.drive.SetTray(GetParam().tray);
  if (GetParam().refuse_second) bench.drive.RefuseCommand(1, GetParam().sense);
  bench.AddDrive();
  RunFlashSequence();
  const auto commands = bench.Commands();
  ASSERT_GE(commands.size(), 3u);
  EXPECT_EQ(commands[2] == "EJECT", GetParam().eject);
  EXPECT_EQ(commands[2 + GetParam().eject], "DL2");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TrayRuleTest,
    ::testing::Values(
        TrayCase{"Ready", sim::Tray::kLoaded, false, {}, true},
        TrayCase{"ClosedEmpty", sim::Tray::kClosedEmpty, false, {}, false},
        TrayCase{"Open", sim::Tray::kOpen, false, {}, true},
        TrayCase{"BecomingReady", sim::Tray::kBecomingReady, false, {}, true},
        TrayCase{"SenseKeyWithFlagBits", sim::Tray::kLoaded, true, {0x22, 0x3A, 0x01}, true},
        TrayCase{"OtherAsc", sim::Tray::kLoaded, true, {0x02, 0x3B, 0x01}, true},
        TrayCase{"OtherKey", sim::Tray::kLoaded, true, {0x06, 0x3A, 0x01}, true},
        TrayCase{"BusyWithoutSense", sim::Tray::kLoaded, true, {0, 0, 0}, true}),
    [](const auto& info) { return info.param.name; });

// When the second TEST UNIT READY never reaches the drive (-1), the record
// still holds the first one's sense: the rule follows that.
TEST(TrayRuleStaleSense, FollowsTheFirstTestUnitReadyWhenTheSecondFailsLocally) {
  for (const bool first_says_closed_empty : {true, false}) {
    for (const Via via : {Via::kPassThrough, Via::kAspi}) {
      UpdateBench bench(via);
      bench.LoadImages(false);
      // A fresh second reading would say the opposite of the first.
      bench.drive.SetTray(first_says_closed_empty ? sim::Tray::kOpen : sim::Tray::kClosedEmpty);
      bench.drive.RefuseCommand(0, first_says_closed_empty ? sim::sense::kNoMediumTrayClosed
                                                           : sim::sense::kBecomingReady);
      bench.AddDrive();
      if (via == Via::kAspi) {
        bench.drive.on_command = [&bench](const sim::TraceEntry& e) {
          if (e.index == 0) bench.fake.fail_create_event = 1;  // no event for the next command
        };
      } else {
        // The second command cannot open the device (both access modes).
        auto open = bench.fake.open_device;
        auto opens = std::make_shared<int>(0);
        bench.fake.open_device = [open, opens](const char* name, uint32_t access) -> plat::Handle {
          ++*opens;
          return *opens == 2 || *opens == 3 ? nullptr : open(name, access);
        };
      }
      RunFlashSequence();
      const auto commands = bench.Commands();
      ASSERT_GE(commands.size(), 2u);
      EXPECT_EQ(commands[0], "TUR");
      EXPECT_EQ(commands[1] == "EJECT", !first_says_closed_empty)
          << (via == Via::kAspi ? "ASPI " : "pass-through ") << first_says_closed_empty;
    }
  }
}

// The thread as MonitorUpdate starts it, watched by a reader polling the two
// shared values the way the dialog does (counter first).  Run under TSan this
// also shows the publication is race-free.
TEST(WorkerThread, ReaderNeverSeesAFailureAndSeesTheFinalStoresInOrder) {
  UpdateBench bench;
  bench.LoadImages(true);
  bench.AddDrive();
  ProgressCounter.store(1);
  WorkerState.store(1);
  std::atomic<bool> done{false};
  bool saw_failure = false;
  uint32_t highest = 0;
  std::thread reader([&] {
    for (;;) {
      const uint32_t counter = ProgressCounter.load(std::memory_order_acquire);
      const uint8_t state = WorkerState.load(std::memory_order_acquire);
      if (state == 2) break;
      if (counter == 0) saw_failure = true;
      if (counter > highest) highest = counter;
      if (done.load()) break;
      std::this_thread::yield();
    }
  });
  ASSERT_TRUE(bench.fake.StartThread(UpdateThreadProc, nullptr));
  bench.fake.JoinThreads();
  done.store(true);
  reader.join();
  EXPECT_FALSE(saw_failure);
  EXPECT_LE(highest, 185u);
  EXPECT_EQ(WorkerState.load(), 2);
  EXPECT_EQ(ProgressCounter.load(), 0u);
  EXPECT_EQ(bench.fake.NowMs(), 59000u);
}

TEST(WorkerThread, FailedRunPublishesTheTextBeforeTheCounter) {
  UpdateBench bench;
  bench.LoadImages(false);
  bench.drive.RefuseWrite(3, sim::sense::kChecksumError);
  bench.AddDrive();
  ProgressCounter.store(1);
  WorkerState.store(1);
  std::string text_seen;
  std::thread reader([&] {
    while (ProgressCounter.load(std::memory_order_acquire) != 0) std::this_thread::yield();
    text_seen = LastErrorText;
  });
  ASSERT_TRUE(bench.fake.StartThread(UpdateThreadProc, nullptr));
  bench.fake.JoinThreads();
  reader.join();
  EXPECT_EQ(text_seen, "Flash rom check sum error. (Code 09-86-00)");
  EXPECT_EQ(WorkerState.load(), 1);
}

}  // namespace
