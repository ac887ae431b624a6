// The UPDATE handler and the progress display, with the worker thread running
// against the emulated drive in virtual time and a view that records what the
// dialog is told to do.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>

#include "update_bench.h"

namespace {

using Log = Texts;

// The main dialog over one drive (restart question off): every request to the
// view is logged as text, with the virtual time it came at.
struct Dialog : UpdateView {
  // From UPDATE until its last box is answered Windows may not end the
  // session: every box but "Can't reboot." (after the release, before the
  // restart) comes while it is held.
  Dialog() {
    UpdatePackage.NoRestart = 1;
    bench.AddDrive();
    bench.fake.on_message_box = [this](const FakePlatform::MessageBoxCall& box) {
      EXPECT_EQ(held, box.text != "Can't reboot.") << box.text;
    };
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
                               {0, 99999, 4095, 2048, 1},
                               {1, 0xFFFFFFFFu, 2, 1, 1},
                               {0, 0, 360480, 0, 0}};  // a zero buffer size must not divide
  for (const auto& c : cases) {
    UpdatePackage.BootImagePresent = static_cast<uint8_t>(c[0]);
    UpdatePackage.BootImageSize = c[1];
    UpdatePackage.MainImageSize = c[2];
    UpdatePackage.BufferSize = c[3];
    EXPECT_EQ(TransferTotal(), c[4]) << c[1] << "+" << c[2] << "/" << c[3];
  }
  ResetUpdatePackage();
}

// With a boot image (without one the counter runs the same way from its
// fifth step, and the worker test times both).
TEST(Monitor, AWholeUpdateFollowsTheCounterThenTheClock) {
  Dialog d;
  d.bench.LoadImages(true);
  OnUpdate(d);
  // Transfer phase: the bar shows the counter less one when it changed, then
  // the total once the last block is in.
  const std::string total = "184";
  const Log transfer = d.Between(kTransferring, kRunning);
  ASSERT_GE(transfer.size(), 2u);
  EXPECT_EQ(Log(transfer.begin(), transfer.begin() + 2), (Log{"range:" + total, "step:1"}));
  std::set<std::string> reachable = {"pos:0", "pos:" + total, "repaint"};
  for (int n = 0, c = 1; n < 15; ++n) {
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
  std::vector<uint64_t> steps;
  for (size_t i = 0; i < d.log.size(); ++i) {
    if (d.log[i] == "stepit") steps.push_back(d.times[i]);
  }
  EXPECT_EQ(steps.size(), 447u);
  EXPECT_EQ(steps.back() - steps.front(), 446u * 100u);
  EXPECT_GE(steps.front(), 11000u + 300u);
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

// The ways an UPDATE over the pass-through ends that only this shows (the plain
// completion, both answers to the restart question, a refusal in the waiting
// phase, a BUFFERSIZE below 2048, a device that does not open and an ASPI
// adapter that cannot take 32 KiB are seen end to end): the boxes and the
// dialog's outline; only a completed update marks the drive updated.  A
// refused check (in Japanese: the texts come from the catalogue) starts no
// worker.  A Yes to the restart question ends the dialog even when no copy can
// be made.  The drive is held by one handle from the checks to the last
// command and let go on every path; a drive locked by another program or an
// adapter that cannot take a 32 KiB block stops the update before anything is
// sent.  Where the lock does not exist (before Vista) it goes on.
TEST(Monitor, EveryWayAnUpdateEnds) {
  using namespace sim::sense;
  const uint32_t info = plat::kMbIconInformation | plat::kMbSystemModal;
  const std::string question =
      Box(kCaptionInformation, plat::kMbYesNo | info, TextIn(Msg::UpdateCompletedRestart, false));
  const auto failed = [](const std::string& error) {
    return Log{Box(kCaptionError, kStop, "Firmware update is failed.\n\n" + error)};
  };
  const auto refused = [](Msg text) { return Log{Box(kCaptionError, kStop, TextIn(text, false))}; };
  const Log ended = kStart + kPhases + Log{"end"} + kDone;
  const struct {
    std::function<void(Dialog&)> setup;  // on one drive, main image only, no restart question
    Log boxes, outline;
    Log controls = {"lock ksfupd", "mcn 1", "unlock", "mcn 0"};  // the exclusive and MCN requests
  } cases[] = {
      {[](Dialog& d) {
         d.bench.LoadImages(true);
         d.bench.drive.RefuseWrite(0, kWriteError);
         d.bench.pt.letter('E').exclusive_supported = false;  // as on XP
       },
       failed("Flash rom write error. (Code 09-85-00)"),
       kStart + Log{kTransferring} + kIdle,
       {"lock ksfupd failed", "query failed", "mcn 1 failed"}},
      {[](Dialog& d) { d.bench.pt.letter('E').locked_by_other = true; },
       refused(Msg::DriveInUse),
       kStart + kIdle,
       {"lock ksfupd failed", "query"}},
      {[](Dialog& d) { d.bench.pt.letter('E').max_transfer = 0x4000; },
       refused(Msg::AdapterTooSmall),
       kStart + kIdle,
       {}},
      {[](Dialog& d) { d.bench.pt.letter('E').max_pages = 7; },
       refused(Msg::AdapterTooSmall),
       kStart + kIdle,
       {}},
      {[](Dialog& d) {
         d.bench.LoadImages(true);
         d.bench.fake.fail_start_thread = true;
       },
       failed("Can not create Thread."), kStart + kIdle},
      {[](Dialog& d) {
         UserLcid = 1041;
         d.bench.drive.mutable_config().product = "CD-RW  TQ-900   ";
       },
       {Box(kCaptionInformation, info, TextIn(Msg::ModelNotApplicable, true))},
       kStart + Log{"status:" + std::string(TextIn(Msg::StatusSelectDrive, true))} +
           Log{"update:1", "exit:1"}},
      {[](Dialog& d) {
         UpdatePackage.NoRestart = 0;
         d.bench.fake.temp_path = "C:\\TEMP\\";
         d.bench.fake.copy_file = [](const std::string&) { return plat::CopyResult::kFailed; };
         d.bench.fake.message_box_answers.assign(1, plat::kIdYes);
       },
       {question, Box(kCaptionError, kStop, "Can't reboot.")},
       ended},
  };
  for (const auto& c : cases) {
    Dialog d;
    d.bench.LoadImages(false);
    const bool shared = &c == &cases[4];  // another program has the device open
    d.bench.pt.letter('E').other_open = shared;
    c.setup(d);
    OnUpdate(d);
    EXPECT_EQ(Boxes(d.bench.fake, kOwner), c.boxes);
    EXPECT_EQ(d.Outline(), c.outline);
    EXPECT_TRUE(d.bench.fake.Calls().empty());
    EXPECT_EQ(DriveTable[0].Updated, std::count(c.outline.begin(), c.outline.end(), kCompleted));
    EXPECT_EQ(d.holds, (std::vector<bool>{true, false}));
    Log controls;
    for (const auto& control : d.bench.pt.controls()) controls.push_back(control.what);
    EXPECT_EQ(controls, c.controls) << &c - cases;
    const auto opens = d.bench.pt.opens();
    EXPECT_EQ(std::count_if(opens.begin(), opens.end(), [](auto& o) { return o.ok; }), 1);
    for (const auto& o : opens) EXPECT_EQ(o.share, o.ok && shared ? 3u : 0u);
    EXPECT_EQ(d.bench.pt.open_handles(), 0);
    EXPECT_FALSE(d.bench.pt.locked_by_us() || d.bench.pt.polling_stopped());
    // Refused before the checks: nothing at all reached the drive.
    EXPECT_EQ(d.bench.Commands().empty(),
              std::none_of(controls.begin(), controls.end(),
                           [](auto& t) { return t.rfind("mcn", 0) == 0; }))
        << &c - cases;
  }
}

// Two drives, the second of another model: UPDATE checks and writes the
// selected drive only (a selection outside the list is no drive at all), and
// it stays disabled when the list has no selection (that an updated drive
// cannot be updated again while others can is also seen end to end).
TEST(Monitor, OnlyTheSelectedDriveIsCheckedAndUpdatedAndOnlyOnce) {
  Dialog d;
  sim::KestranDrive other(sim::FakeClock(d.bench.fake));
  other.mutable_config().product = "CD-R   TQ-999Z  ";
  d.bench.AddDrive(1, &other);
  d.bench.LoadImages(false);
  for (const int selection : {2, 0xFFFF, 1, 0}) {
    d.selection = selection;
    OnUpdate(d);
  }
  EXPECT_EQ(other.trace().size(), 1u);  // one INQUIRY
  EXPECT_EQ(DriveTable[0].Updated * 2 + DriveTable[1].Updated, 2);
  EXPECT_EQ(Boxes(d.bench.fake, kOwner).size(), 2u);  // another model; completed
  d.log.clear();
  d.selection = -1;
  OnDriveSelChange(d);
  EXPECT_EQ(d.log, Log{"update:0"});
}

}  // namespace
