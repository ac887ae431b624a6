// The UPDATE handler and the progress display, with the worker thread running
// against the emulated drive in virtual time and a view that records what the
// dialog is told to do.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "update_bench.h"

namespace {

void* const kOwner = reinterpret_cast<void*>(0xD1A1);
using Log = Texts;

// The main dialog over one drive (restart question off): every request to the
// view is logged as text, with the virtual time it came at.
struct Dialog : UpdateView {
  Dialog() {
    UpdatePackage.NoRestart = 1;
    bench.AddDrive();
  }
  void EnableUpdateButton(bool enable) override { Add("update:" + std::to_string(enable)); }
  void EnableExitButton(bool enable) override { Add("exit:" + std::to_string(enable)); }
  int CurrentSelection() override { return selection; }
  void SetStatusText(const char* text) override { Add(std::string("status:") + text); }
  void SetProgressRange(uint16_t maximum) override { Add("range:" + std::to_string(maximum)); }
  void SetProgressStep(int step) override { Add("step:" + std::to_string(step)); }
  void SetProgressPosition(int position) override { Add("pos:" + std::to_string(position)); }
  void StepProgress() override { Add("stepit"); }
  void Repaint() override { Add("repaint"); }
  void* OwnerWindow() override { return kOwner; }
  void EndDialogOk() override { Add("end"); }
  void HoldSession(bool hold) override { holds.push_back(held = hold); }
  void Add(const std::string& entry) { log.push_back(entry), times.push_back(bench.fake.NowMs()); }

  // Entries after the first `from` and before the next `to`.
  Log Between(const std::string& from, const std::string& to) const {
    const auto begin = std::find(log.begin(), log.end(), from);
    return begin == log.end() ? Log{} : Log(begin + 1, std::find(begin + 1, log.end(), to));
  }
  // The log without the progress bar and repaints: buttons, status lines, end.
  Log Outline() const {
    Log outline;
    std::copy_if(log.begin(), log.end(), std::back_inserter(outline), [](const std::string& e) {
      return e.rfind("update", 0) == 0 || e.rfind("exit", 0) == 0 || e.rfind("status", 0) == 0 ||
             e == "end";
    });
    return outline;
  }

  UpdateBench bench;
  int selection = 0;
  bool held = false;
  std::vector<bool> holds;
  Log log;
  std::vector<uint64_t> times;
};

const std::string kTransferring = "status: Wait... (Transferring data)";
const std::string kRunning = "status: Wait... (Running Firmware upgrade procedure)";
const std::string kCompleted = "status: Firmware update is completed.";
const std::string kSelect = "status: Please Select Drive and Click UPDATE Button.";
const Log kStart = {"update:0", "exit:0"}, kIdle = {kSelect, "update:1", "exit:1"};
const Log kDone = {kSelect, "update:0", "exit:1"};
const Log kPhases = {kTransferring, kRunning, kCompleted};
const uint32_t kStop = plat::kMbOk | plat::kMbIconStop;
Log operator+(Log a, const Log& b) { return a.insert(a.end(), b.begin(), b.end()), a; }

TEST(Monitor, TransferTotalIsTheUnsignedSumOfTheDeclaredSizesInBufferUnits) {
  const uint32_t cases[][5] = {// boot present, boot size, main size, buffer size, total
                               {1, 16416, 360480, 2048, 184}, {0, 16416, 360480, 2048, 176},
                               {0, 0, 1000, 2048, 0},         {0, 99999, 4095, 2048, 1},
                               {1, 0xFFFFFFFFu, 2, 1, 1},     {1, 16416, 360480, 4096, 92},
                               {0, 0, 360480, 0, 0}};  // a zero buffer size must not divide
  for (const auto& c : cases) {
    UpdatePackage.BootImagePresent = static_cast<uint8_t>(c[0]);
    UpdatePackage.BootImageSize = c[1], UpdatePackage.MainImageSize = c[2];
    UpdatePackage.BufferSize = c[3];
    EXPECT_EQ(TransferTotal(), c[4]) << c[1] << "+" << c[2] << "/" << c[3];
  }
  ResetUpdatePackage();
}

TEST(Monitor, AWholeUpdateFollowsTheCounterThenTheClock) {
  for (const bool boot : {true, false}) {
    Dialog d;
    d.bench.LoadImages(boot);
    OnUpdate(d);
    EXPECT_EQ(d.Outline(), kStart + kPhases + kDone);
    EXPECT_EQ(Log(d.log.end() - 4, d.log.end()), Log{"pos:0"} + kDone);
    EXPECT_EQ(Boxes(d.bench.fake, kOwner),
              Log{Box(kCaptionInformation, plat::kMbIconInformation | plat::kMbSystemModal,
                      "Firmware update is completed.")});
    EXPECT_EQ(DriveTable[0].Updated + WorkerState.load(), 3);
    // Transfer phase: the bar shows the counter less one when it changed, then
    // the total once the last block is in.
    const std::string total = boot ? "184" : "176";
    const Log transfer = d.Between(kTransferring, kRunning);
    ASSERT_GE(transfer.size(), 2u);
    EXPECT_EQ(Log(transfer.begin(), transfer.begin() + 2), (Log{"range:" + total, "step:1"}));
    std::set<std::string> reachable = {"pos:0", "pos:" + total, "repaint"};
    for (int n = boot ? 0 : 4, c = 1; n < 15; ++n) {
      reachable.insert("pos:" + std::to_string((c += n < 4 ? 2 : 16) - 1));
    }
    int last = -1;
    for (auto e = transfer.begin() + 2; e != transfer.end(); ++e) {
      EXPECT_EQ(reachable.count(*e), 1u) << *e;
      if (*e == "repaint") continue;
      EXPECT_LT(last, std::stoi(e->substr(4)));
      last = std::stoi(e->substr(4));
    }
    EXPECT_EQ(last, std::stoi(total));
    // Waiting phase: one step a tenth of a second, stopping three short of full.
    const Log waiting = d.Between(kRunning, kCompleted);
    EXPECT_EQ(Log(waiting.begin(), waiting.begin() + 3), (Log{"range:450", "step:1", "pos:0"}));
    EXPECT_EQ(waiting.back(), "pos:450");
    std::vector<uint64_t> steps;
    for (size_t i = 0; i < d.log.size(); ++i) {
      if (d.log[i] == "stepit") steps.push_back(d.times[i]);
    }
    EXPECT_EQ(steps.size(), 447u);
    EXPECT_EQ(steps.back() - steps.front(), 446u * 100u);
    EXPECT_GE(steps.front(), (boot ? 11000u : 3000u) + 300u);
  }
}

// A total of 0 is reached at once; a wait time of 0 steps on every pass (the
// comparison is unsigned) while the bar stays empty.
TEST(Monitor, ZeroTotalAndZeroWaitTime) {
  Dialog d;
  d.bench.LoadImages(false, 1000);
  UpdatePackage.WaitTime = 0;
  OnUpdate(d);
  EXPECT_EQ(d.Between(kTransferring, kRunning), (Log{"range:0", "step:1", "pos:0", "repaint"}));
  const Log waiting = d.Between(kRunning, kCompleted);
  const auto steps = std::count(waiting.begin(), waiting.end(), "stepit");
  EXPECT_EQ(waiting.front() + waiting.back(), "range:0pos:0");
  EXPECT_EQ(steps, std::count(waiting.begin(), waiting.end(), "repaint") + 1);
  EXPECT_GT(steps, 300);
  EXPECT_EQ(DriveTable[0].Updated, 1);
}

// A failure in either phase, or a worker that never starts: the failure box,
// and UPDATE enabled again.
TEST(Monitor, AFailedUpdateShowsTheError) {
  using namespace sim::sense;
  const std::tuple<bool, uint32_t, int, sim::Sense, int, std::string> cases[] = {
      // boot, declared main size, refused write (-1: no thread), phases shown, error
      {true, kMainImageReadLength, 0, kWriteError, 1, "Flash rom write error. (Code 09-85-00)"},
      // Declared sizes far below the fixed layout: the dialog reaches its total
      // at once and is already waiting when the last main block is refused.
      {false, 2048, 10, kTransferDataError, 2, "Firmware Transfer data error. (Code 09-88-00)"},
      {true, kMainImageReadLength, -1, {}, 0, "Can not create Thread."}};
  for (const auto& [boot, main_size, refused, sense, phases, error] : cases) {
    Dialog d;
    d.bench.LoadImages(boot, main_size);
    d.bench.drive.RefuseWrite(static_cast<uint32_t>(refused), sense);
    d.bench.fake.fail_start_thread = refused < 0;
    OnUpdate(d);
    EXPECT_EQ(Boxes(d.bench.fake, kOwner),
              Log{Box(kCaptionError, kStop, "Firmware update is failed.\n\n" + error)});
    EXPECT_EQ(d.Outline(), kStart + Log(kPhases.begin(), kPhases.begin() + phases) + kIdle);
    EXPECT_EQ(DriveTable[0].Updated, 0);
  }
}

// In Japanese too: the texts come from the catalogue.
TEST(Monitor, ARefusedCheckStartsNoWorker) {
  Dialog d;
  UserLcid = 1041;
  d.bench.LoadImages(true);
  d.bench.drive.mutable_config().product = "CD-RW  TQ-900   ";
  OnUpdate(d);
  EXPECT_EQ(Boxes(d.bench.fake, kOwner),
            Log(1, Box(kCaptionInformation, plat::kMbIconInformation | plat::kMbSystemModal,
                       TextIn(Msg::ModelNotApplicable, true))));
  const Log idle = {"pos:0", std::string("status:") + TextIn(Msg::StatusSelectDrive, true)};
  EXPECT_EQ(d.log, kStart + idle + Log({"update:1", "exit:1"}));
  EXPECT_EQ(WorkerState.load(), 0);
}

TEST(Monitor, AnUpdatedDriveCannotBeUpdatedAgainOthersCan) {
  Dialog d;
  sim::KestranDrive second(sim::FakeClock(d.bench.fake));
  d.bench.AddDrive(1, &second);
  d.bench.LoadImages(false);
  OnUpdate(d);
  d.log.clear();
  for (const int selection : {1, 0, 1, -1}) {  // -1: a list without a selection
    d.selection = selection;
    OnDriveSelChange(d);
    EXPECT_EQ(SelectedDriveIndex.load(), static_cast<uint16_t>(selection));
  }
  EXPECT_EQ(d.log, (Log{"update:1", "update:0", "update:1", "update:0"}));
}

TEST(Monitor, RestartQuestionYesStartsTheHelperAndEndsTheDialogEvenWithoutACopy) {
  for (const int answer : {plat::kIdYes, plat::kIdNo, -1}) {  // -1: Yes, but no copy can be made
    Dialog d;
    UpdatePackage.NoRestart = 0;
    d.bench.LoadImages(false);
    d.bench.fake.temp_path = "C:\\TEMP\\";
    d.bench.fake.copy_file = [answer](const std::string&) {
      return answer == plat::kIdYes ? plat::CopyResult::kCopied : plat::CopyResult::kFailed;
    };
    d.bench.fake.message_box_answers.assign(1, answer == plat::kIdNo ? answer : plat::kIdYes);
    OnUpdate(d);
    Log boxes = {Box(kCaptionInformation,
                     plat::kMbYesNo | plat::kMbIconInformation | plat::kMbSystemModal,
                     TextIn(Msg::UpdateCompletedRestart, false))};
    if (answer == -1) boxes.push_back(Box(kCaptionError, kStop, "Can't reboot."));
    EXPECT_EQ(Boxes(d.bench.fake, kOwner), boxes);
    const Log started = {"MoveFileDelayUntilReboot(C:\\TEMP\\REB_0000.EXE)",
                         "StartProcess(C:\\TEMP\\REB_0000.EXE,C:\\TEMP\\)"};
    EXPECT_EQ(d.bench.fake.Calls(), answer == plat::kIdYes ? started : Log{});
    // The dialog ends after a Yes, and is still reset.
    const Log end = answer == plat::kIdNo ? Log{} : Log{"end"};
    EXPECT_EQ(d.Outline(), kStart + kPhases + end + kDone);
  }
}

// From UPDATE until its last box is answered Windows may not end the session:
// on every path the boxes come while it is held, and it is released once,
// before a restart is set going.
TEST(Monitor, TheSessionIsHeldFromUpdateUntilTheLastBoxIsAnswered) {
  enum Path { kCompleted, kRestartWithoutCopy, kFailed, kRefused };
  for (const Path path : {kCompleted, kRestartWithoutCopy, kFailed, kRefused}) {
    Dialog d;
    d.bench.LoadImages(false);
    UpdatePackage.NoRestart = path != kRestartWithoutCopy;
    d.bench.fake.copy_file = [](const std::string&) { return plat::CopyResult::kFailed; };
    if (path == kFailed) d.bench.drive.RefuseWrite(3, sim::sense::kWriteError);
    if (path == kRefused) d.bench.drive.mutable_config().product = "CD-RW  TQ-900   ";
    std::vector<bool> held_at_box;
    d.bench.fake.on_message_box = [&](const FakePlatform::MessageBoxCall&) {
      held_at_box.push_back(d.held);
    };
    OnUpdate(d);
    EXPECT_EQ(d.holds, (std::vector<bool>{true, false})) << path;
    // The question while held; "Can't reboot." comes after the release.
    const std::vector<bool> boxes =
        path == kRestartWithoutCopy ? std::vector<bool>{true, false} : std::vector<bool>{true};
    EXPECT_EQ(held_at_box, boxes) << path;
    EXPECT_FALSE(d.held);
  }
}

}  // namespace
