// The UPDATE handler and the progress display, with the worker thread running
// against the emulated drive in virtual time and a view that records what the
// dialog is told to do.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

#include "app/catalogue.h"
#include "update_bench.h"

namespace {

class RecordingView : public UpdateView {
 public:
  explicit RecordingView(FakePlatform& fake) : fake_(fake) {}
  void EnableUpdateButton(bool enable) override { Log("update:" + std::to_string(enable)); }
  void EnableExitButton(bool enable) override { Log("exit:" + std::to_string(enable)); }
  int CurrentSelection() override { return selection; }
  void SetStatusText(const char* text) override { Log(std::string("status:") + text); }
  void SetProgressRange(uint16_t maximum) override { Log("range:" + std::to_string(maximum)); }
  void SetProgressStep(int step) override { Log("step:" + std::to_string(step)); }
  void SetProgressPosition(int position) override { Log("pos:" + std::to_string(position)); }
  void StepProgress() override { Log("stepit"); }
  void Repaint() override { Log("repaint"); }
  void* OwnerWindow() override { return kOwner; }
  void EndDialogOk() override { Log("end"); }

  // Entries between the first `from` and the next `to` (exclusive).
  std::vector<std::string> Between(const std::string& from, const std::string& to) const {
    auto begin = std::find(log.begin(), log.end(), from);
    if (begin == log.end()) return {};
    auto end = std::find(begin + 1, log.end(), to);
    return std::vector<std::string>(begin + 1, end);
  }
  size_t Count(const std::string& entry) const {
    return static_cast<size_t>(std::count(log.begin(), log.end(), entry));
  }
  std::vector<std::string> Tail(size_t n) const {
    return std::vector<std::string>(log.end() - static_cast<std::ptrdiff_t>(n), log.end());
  }

  static inline void* const kOwner = reinterpret_cast<void*>(0xD1A1);
  int selection = 0;
  std::vector<std::string> log;
  std::vector<uint64_t> times;

 private:
  void Log(std::string entry) {
    log.push_back(std::move(entry));
    times.push_back(fake_.NowMs());
  }
  FakePlatform& fake_;
};

const std::string kTransferring = "status: Wait... (Transferring data)";
const std::string kRunning = "status: Wait... (Running Firmware upgrade procedure)";
const std::string kCompleted = "status: Firmware update is completed.";
const std::string kSelect = "status: Please Select Drive and Click UPDATE Button.";

class MonitorTest : public ::testing::Test {
 protected:
  MonitorTest() : view_(bench_.fake) {
    UpdatePackage.NoRestart = 1;
    bench_.AddDrive();
  }
  std::vector<FakePlatform::MessageBoxCall> Boxes() { return bench_.fake.MessageBoxes(); }
  // The positions set during the transfer phase.
  std::vector<int> TransferPositions(uint16_t total) {
    std::vector<int> positions;
    for (const auto& e : view_.Between("range:" + std::to_string(total), kRunning)) {
      if (e.rfind("pos:", 0) == 0) positions.push_back(std::stoi(e.substr(4)));
    }
    return positions;
  }
  void ExpectIdleAgain(bool update_enabled) {
    EXPECT_EQ(view_.Tail(4),
              (std::vector<std::string>{"pos:0", kSelect,
                                        "update:" + std::to_string(update_enabled), "exit:1"}));
  }

  UpdateBench bench_;
  RecordingView view_;
};

TEST(TransferTotal, IsTheUnsignedSumOfTheDeclaredSizesInBufferUnits) {
  struct Case {
    uint8_t boot;
    uint32_t boot_size, main_size, buffer, total;
  };
  for (const Case& c : {Case{1, 16416, 360480, 2048, 184}, Case{0, 16416, 360480, 2048, 176},
                        Case{0, 0, 1000, 2048, 0}, Case{0, 0, 2048, 2048, 1},
                        Case{0, 99999, 4095, 2048, 1}, Case{1, 0xFFFFFFFFu, 2, 1, 1},
                        Case{1, 16416, 360480, 4096, 92}, Case{0, 0, 360480, 0, 0}}) {
    ResetUpdatePackage();
    UpdatePackage.BootImagePresent = c.boot;
    UpdatePackage.BootImageSize = c.boot_size;
    UpdatePackage.MainImageSize = c.main_size;
    UpdatePackage.BufferSize = c.buffer;
    EXPECT_EQ(TransferTotal(), c.total) << c.boot_size << "+" << c.main_size << "/" << c.buffer;
  }
  ResetUpdatePackage();
}

TEST_F(MonitorTest, AWholeUpdateWithBootImageFollowsTheCounterThenTheClock) {
  bench_.LoadImages(true);
  OnUpdate(view_);

  EXPECT_EQ(view_.log[0], "update:0");
  EXPECT_EQ(view_.log[1], "exit:0");
  EXPECT_EQ(view_.log[2], kTransferring);
  EXPECT_EQ(view_.log[3], "range:184");
  EXPECT_EQ(view_.log[4], "step:1");
  // Transfer phase: the bar shows the counter less one, only when it changed.
  const std::set<int> reachable = {0, 2, 4, 6, 8, 24, 40, 56, 72, 88, 104, 120, 136, 152, 168};
  const auto positions = TransferPositions(184);
  ASSERT_FALSE(positions.empty());
  EXPECT_EQ(positions.back(), 184);  // the total, once the last block is in
  for (size_t i = 0; i + 1 < positions.size(); ++i) {
    EXPECT_TRUE(reachable.count(positions[i])) << positions[i];
    if (i > 0) {
      EXPECT_LT(positions[i - 1], positions[i]);
    }
  }
  // Waiting phase: one step a tenth of a second, stopping three short of full.
  const auto waiting = view_.Between(kRunning, kCompleted);
  ASSERT_GE(waiting.size(), 3u);
  EXPECT_EQ(waiting[0], "range:450");
  EXPECT_EQ(waiting[1], "step:1");
  EXPECT_EQ(waiting[2], "pos:0");
  EXPECT_EQ(std::count(waiting.begin(), waiting.end(), "stepit"), 447);
  EXPECT_EQ(waiting.back(), "pos:450");
  std::vector<uint64_t> step_times;
  for (size_t i = 0; i < view_.log.size(); ++i) {
    if (view_.log[i] == "stepit") step_times.push_back(view_.times[i]);
  }
  for (size_t i = 1; i < step_times.size(); ++i) EXPECT_EQ(step_times[i] - step_times[i - 1], 100u);
  EXPECT_GE(step_times.back(), 11000u + 300u + 446u * 100u);

  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].text, "Firmware update is completed.");
  EXPECT_EQ(Boxes()[0].caption, "Information - Upgrade Program");
  EXPECT_EQ(Boxes()[0].flags, plat::kMbOk | plat::kMbIconInformation | plat::kMbSystemModal);
  EXPECT_EQ(Boxes()[0].owner, RecordingView::kOwner);
  EXPECT_EQ(DriveTable[0].Updated, 1);
  ExpectIdleAgain(false);
  EXPECT_EQ(view_.Count("end"), 0u);
  EXPECT_EQ(bench_.drive.main_commits(), 1u);
  EXPECT_EQ(WorkerState.load(), 2);
  EXPECT_EQ(ProgressCounter.load(), 0u);
}

TEST_F(MonitorTest, WithoutBootImageTheBarCountsMainBlocksOnly) {
  bench_.LoadImages(false);
  OnUpdate(view_);
  const auto positions = TransferPositions(176);
  ASSERT_FALSE(positions.empty());
  EXPECT_EQ(positions.back(), 176);
  for (size_t i = 0; i + 1 < positions.size(); ++i) EXPECT_EQ(positions[i] % 16, 0);
  EXPECT_EQ(DriveTable[0].Updated, 1);
}

TEST_F(MonitorTest, TotalsOfZeroAndOneGoStraightToTheWaitingPhase) {
  for (const uint32_t main_size : {1000u, 2048u}) {
    const uint32_t total = main_size / 2048;
    bench_.LoadImages(false, 0, main_size);
    DriveTable[0].Updated = 0;
    view_.log.clear();
    OnUpdate(view_);
    const auto transfer = view_.Between(kTransferring, kRunning);
    EXPECT_EQ(transfer, (std::vector<std::string>{"range:" + std::to_string(total), "step:1",
                                                  "pos:" + std::to_string(total), "repaint"}));
    EXPECT_EQ(DriveTable[0].Updated, 1);
    ReleaseImage(UpdatePackage.MainImage);
  }
}

TEST_F(MonitorTest, WaitTimeZeroStepsEveryPassOnAnEmptyBar) {
  bench_.LoadImages(false);
  UpdatePackage.WaitTime = 0;
  OnUpdate(view_);
  const auto waiting = view_.Between(kRunning, kCompleted);
  ASSERT_GE(waiting.size(), 3u);
  EXPECT_EQ(waiting[0], "range:0");
  const auto steps = std::count(waiting.begin(), waiting.end(), "stepit");
  const auto repaints = std::count(waiting.begin(), waiting.end(), "repaint");
  EXPECT_GT(steps, 300);
  EXPECT_EQ(steps, repaints + 1);  // the last pass steps and then sees the end
  EXPECT_EQ(waiting.back(), "pos:0");
}

TEST_F(MonitorTest, ARefusedBlockInTheTransferPhaseShowsTheDriveError) {
  bench_.LoadImages(true);
  bench_.drive.RefuseWrite(0, sim::sense::kWriteError);
  OnUpdate(view_);
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].text,
            "Firmware update is failed.\n\nFlash rom write error. (Code 09-85-00)");
  EXPECT_EQ(Boxes()[0].caption, "Error - Upgrade Program");
  EXPECT_EQ(Boxes()[0].flags, plat::kMbOk | plat::kMbIconStop);
  EXPECT_EQ(Boxes()[0].owner, RecordingView::kOwner);
  EXPECT_EQ(view_.Count(kRunning), 0u);
  EXPECT_EQ(DriveTable[0].Updated, 0);
  ExpectIdleAgain(true);
}

TEST_F(MonitorTest, ARefusedBlockAfterTheWaitingPhaseBeganEndsTheWaitAsAFailure) {
  // Declared sizes far below the fixed layout: the dialog reaches its total
  // at once and is already waiting when the last main block is refused.
  bench_.LoadImages(false, 0, 2048);
  bench_.drive.RefuseWrite(10, sim::sense::kTransferDataError);
  uint64_t box_time = 0;
  bench_.fake.on_message_box = [this, &box_time](const FakePlatform::MessageBoxCall&) {
    box_time = bench_.fake.NowMs();
  };
  OnUpdate(view_);
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].text,
            "Firmware update is failed.\n\nFirmware Transfer data error. (Code 09-88-00)");
  EXPECT_EQ(view_.Count(kRunning), 1u);
  EXPECT_EQ(view_.Count(kCompleted), 0u);
  EXPECT_LT(box_time, 3000u + 300u + 200u);  // seen within a step, not after the 45 s
  EXPECT_EQ(DriveTable[0].Updated, 0);
  EXPECT_EQ(WorkerState.load(), 1);
  ExpectIdleAgain(true);
}

TEST_F(MonitorTest, AWorkerThatCannotStartFailsTheUpdate) {
  bench_.LoadImages(true);
  bench_.fake.fail_start_thread = true;
  OnUpdate(view_);
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].text, "Firmware update is failed.\n\nCan not create Thread.");
  EXPECT_EQ(Boxes()[0].flags, plat::kMbOk | plat::kMbIconStop);
  EXPECT_EQ(view_.Count(kTransferring), 0u);
  EXPECT_EQ(bench_.Commands(), std::vector<std::string>{"INQ"});  // only the model check
  EXPECT_EQ(DriveTable[0].Updated, 0);
  ExpectIdleAgain(true);
}

TEST_F(MonitorTest, ARefusedCheckStartsNoWorker) {
  bench_.LoadImages(true);
  bench_.drive.mutable_config().product = "CD-RW  TQ-900   ";
  OnUpdate(view_);
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].text, "The drive isn't applicable to this firmware.");
  EXPECT_EQ(Boxes()[0].owner, RecordingView::kOwner);
  EXPECT_EQ(view_.log, (std::vector<std::string>{"update:0", "exit:0", "pos:0", kSelect, "update:1",
                                                 "exit:1"}));
  EXPECT_EQ(WorkerState.load(), 0);
}

TEST_F(MonitorTest, AnUpdatedDriveCannotBeUpdatedAgainOthersCan) {
  sim::KestranDrive second(sim::FakeClock(bench_.fake));
  bench_.AddDrive(1, &second);
  bench_.LoadImages(false);
  view_.selection = 0;
  OnUpdate(view_);
  EXPECT_EQ(DriveTable[0].Updated, 1);
  EXPECT_EQ(DriveTable[1].Updated, 0);
  view_.log.clear();
  for (const int selection : {1, 0, 1}) {
    view_.selection = selection;
    OnDriveSelChange(view_);
    EXPECT_EQ(SelectedDriveIndex.load(), selection);
  }
  EXPECT_EQ(view_.log, (std::vector<std::string>{"update:1", "update:0", "update:1"}));
  view_.selection = -1;  // a list without a selection
  OnDriveSelChange(view_);
  EXPECT_EQ(view_.log.back(), "update:0");
}

class RestartQuestionTest : public MonitorTest {
 protected:
  void SetUp() override {
    UpdatePackage.NoRestart = 0;
    bench_.LoadImages(false);
    char pattern[] = "/tmp/ksf_monitor_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    std::ofstream(dir_ + "/ksfupd.exe") << "MZ";
    bench_.fake.module_path = dir_ + "/ksfupd.exe";
    bench_.fake.temp_path = dir_ + "/";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string dir_;
};

TEST_F(RestartQuestionTest, YesStartsTheHelperThenEndsTheDialogAndStillResets) {
  bench_.fake.message_box_answers.push_back(plat::kIdYes);
  OnUpdate(view_);
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].text,
            "Firmware update is completed.\n\nDo you want to restart your computer now?");
  EXPECT_EQ(Boxes()[0].flags, plat::kMbYesNo | plat::kMbIconInformation | plat::kMbSystemModal);
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/REB_0000.EXE"));
  EXPECT_EQ(bench_.fake.Calls().back(), "StartProcess(" + dir_ + "/REB_0000.EXE," + dir_ + "/)");
  EXPECT_EQ(view_.Tail(5),
            (std::vector<std::string>{"end", "pos:0", kSelect, "update:0", "exit:1"}));
}

TEST_F(RestartQuestionTest, YesWithoutAPossibleCopyStillEndsTheDialog) {
  bench_.fake.module_path = dir_ + "/gone.exe";
  bench_.fake.message_box_answers.push_back(plat::kIdYes);
  OnUpdate(view_);
  ASSERT_EQ(Boxes().size(), 2u);
  EXPECT_EQ(Boxes()[1].text, "Can't reboot.");
  EXPECT_EQ(Boxes()[1].owner, RecordingView::kOwner);
  EXPECT_EQ(view_.Count("end"), 1u);
}

TEST_F(RestartQuestionTest, NoLeavesTheDialogOpenWithoutAHelper) {
  bench_.fake.message_box_answers.push_back(plat::kIdNo);
  OnUpdate(view_);
  EXPECT_EQ(view_.Count("end"), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/REB_0000.EXE"));
  EXPECT_EQ(DriveTable[0].Updated, 1);
  ExpectIdleAgain(false);
}

TEST_F(MonitorTest, JapaneseModeUsesTheCatalogueAndKeepsTheDriveErrorInEnglish) {
  UserLcid = 1041;
  bench_.LoadImages(false);
  bench_.drive.RefuseWrite(2, sim::sense::kChecksumError);
  OnUpdate(view_);
  EXPECT_EQ(view_.Count(std::string("status:") + TextIn(Msg::StatusTransferring, true)), 1u);
  EXPECT_EQ(view_.Tail(3)[0], std::string("status:") + TextIn(Msg::StatusSelectDrive, true));
  ASSERT_EQ(Boxes().size(), 1u);
  EXPECT_EQ(Boxes()[0].text, std::string(TextIn(Msg::UpdateFailed, true)) +
                                 "Flash rom check sum error. (Code 09-86-00)");
}

}  // namespace
