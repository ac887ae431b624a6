// The dialog side of an update: the UPDATE handler, the progress display that
// follows the worker, the completion and failure boxes, and the rule that a
// drive is updated at most once per run.
#include <atomic>
#include <string>

#include "discovery/drive_table.h"
#include "package/package.h"
#include "platform/platform.h"
#include "restart/restart.h"
#include "text/catalogue.h"
#include "transport/transport.h"
#include "update/update.h"

namespace {

constexpr uint32_t kTransferPollMs = 20;
constexpr uint32_t kWaitStepMs = 100;

int ShowFailure(UpdateView& view) {
  const std::string text = std::string(Text(Msg::UpdateFailed)) + LastErrorText;
  plat::Os().MessageBox(view.OwnerWindow(), text.c_str(), kCaptionError,
                        plat::kMbOk | plat::kMbIconStop);
  return 0;
}

// The end of a finished update: the bar full (`full` is its maximum), the
// completion status line.
int ShowCompleted(UpdateView& view, uint32_t full) {
  view.SetProgressPosition(static_cast<int>(full));
  view.SetStatusText(Text(Msg::StatusCompleted));
  view.Repaint();
  WaitMilliseconds(1000);
  return 1;
}

bool SelectionIsDrive(uint16_t index) { return index < DriveCount && index < kDriveTableSize; }

}  // namespace

uint32_t TransferTotal() {
  uint32_t bytes = UpdatePackage.MainImageSize;
  if (UpdatePackage.BootImagePresent) bytes += UpdatePackage.BootImageSize;  // wraps like u32
  // The package loader refuses a BUFFERSIZE of 0; never divide by it here.
  if (UpdatePackage.BufferSize == 0) return 0;
  return bytes / UpdatePackage.BufferSize;
}

int MonitorUpdate(UpdateView& view) {
  const uint32_t total = TransferTotal();

  ProgressCounter.store(1, std::memory_order_release);
  WorkerState.store(kWorkerRunning, std::memory_order_release);
  if (!plat::Os().StartThread(UpdateThreadProc, nullptr)) {
    // No worker exists, so the dialog thread may write the shared values.
    LastErrorText = "Can not create Thread.";
    ProgressCounter.store(0, std::memory_order_release);
    return ShowFailure(view);
  }

  view.SetStatusText(Text(Msg::StatusTransferring));
  view.SetProgressRange(static_cast<uint16_t>(total));
  view.SetProgressStep(1);

  // Transfer phase: the bar follows the counter, which runs one above the
  // number of 2048-byte units the drive has accepted.
  uint32_t shown = 0;
  for (;;) {
    const uint32_t counter = ProgressCounter.load(std::memory_order_acquire);
    if (counter == 0) {
      // The worker's last store.  A finished worker stored its state 2 before
      // this 0, so the acquire load above makes it visible: the flash is done
      // even though the counter never reached the total (a BUFFERSIZE below
      // 2048, declared sizes beyond the fixed layout).  State 1: it failed.
      if (WorkerState.load(std::memory_order_acquire) == kWorkerFinished) {
        return ShowCompleted(view, total);
      }
      return ShowFailure(view);
    }
    if (counter >= total) break;
    if (counter != shown) {
      view.SetProgressPosition(static_cast<int>(counter - 1));
      shown = counter;
    }
    view.Repaint();
    WaitMilliseconds(kTransferPollMs);
  }

  view.SetProgressPosition(static_cast<int>(total));
  view.Repaint();
  WaitMilliseconds(300);

  // Waiting phase: the bar is timed, one step a tenth of a second, and stops
  // short of full however long the drive takes.
  const uint32_t tenths = 10u * UpdatePackage.WaitTime;
  view.SetStatusText(Text(Msg::StatusRunning));
  view.SetProgressRange(static_cast<uint16_t>(tenths));
  view.SetProgressStep(1);
  view.SetProgressPosition(0);
  uint8_t state = kWorkerRunning;
  for (uint32_t pass = 1;; ++pass) {
    if (pass < tenths - 2u) view.StepProgress();  // unsigned: WaitTime 0 steps every pass
    // Counter first: on success the worker stores state 2 before the counter's
    // 0, so a 0 seen together with state 1 can only be a failed late block.
    const uint32_t counter = ProgressCounter.load(std::memory_order_acquire);
    state = WorkerState.load(std::memory_order_acquire);
    if (state != kWorkerRunning) break;
    if (counter == 0) return ShowFailure(view);
    view.Repaint();
    WaitMilliseconds(kWaitStepMs);
  }
  if (state == kWorkerIdle) return ShowFailure(view);
  return ShowCompleted(view, tenths);
}

void OnDriveSelChange(UpdateView& view) {
  const uint16_t index = static_cast<uint16_t>(view.CurrentSelection());
  SelectedDriveIndex.store(index, std::memory_order_release);
  view.EnableUpdateButton(SelectionIsDrive(index) && DriveTable[index].Updated == 0);
}

void OnUpdate(UpdateView& view) {
  view.EnableUpdateButton(false);
  view.EnableExitButton(false);
  const uint16_t index = static_cast<uint16_t>(view.CurrentSelection());
  SelectedDriveIndex.store(index, std::memory_order_release);
  void* owner = view.OwnerWindow();
  SetMessageOwner(owner);

  // A session end or sleep while the drive writes its flash can leave a drive
  // that no longer starts: held from here until the last box is answered, on
  // every path.
  view.HoldSession(true);
  bool restart = false;
  if (CheckDrive() == 1 && MonitorUpdate(view) == 1) {
    DriveTable[index].Updated = 1;
    if (UpdatePackage.NoRestart) {
      plat::Os().MessageBox(owner, Text(Msg::UpdateCompleted), kCaptionInformation,
                            plat::kMbOk | plat::kMbIconInformation | plat::kMbSystemModal);
    } else {
      restart = plat::Os().MessageBox(owner, Text(Msg::UpdateCompletedRestart), kCaptionInformation,
                                      plat::kMbYesNo | plat::kMbIconInformation |
                                          plat::kMbSystemModal) == plat::kIdYes;
    }
  }
  view.HoldSession(false);

  if (restart) {
    StartRestartHelper(owner);
    view.EndDialogOk();
  }

  view.SetProgressPosition(0);
  view.SetStatusText(Text(Msg::StatusSelectDrive));
  OnDriveSelChange(view);
  view.EnableExitButton(true);
}
