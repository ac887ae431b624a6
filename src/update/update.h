// The update procedure: pre-update checks, the flash worker and the dialog's
// progress logic (behind a small view interface so tests can drive it).
#pragma once

#include <cstdint>

#include "update/update_state.h"

// Owner window of the update's message boxes (the main dialog).  OnUpdate
// sets it from the view; nullptr means no owner.
void SetMessageOwner(void* owner);
void* MessageOwner();

// 1: the selected drive is held for the update (transport's HoldDrive); 0:
// stop, a box said why.  ReleaseDrive follows in either case.
int HoldSelectedDrive();

// 1: the selected drive may take this firmware; 0: stop (a box, or none, was
// shown).
int CheckDrive();

// The worker's check after each command that changes the drive (block
// writes, download mode, flash controls): 0 for a command carried out; for a
// failed one the failure text goes to LastErrorText, ProgressCounter becomes
// 0 and the result is -1.
int CheckCommandResult(int code);

// The flash sequence's fixed shape, which progress displays follow: the blocks
// of each image and the waits after the commands that change the drive.
constexpr int kBootBlocks = 4;
constexpr int kMainBlocks = 11;
constexpr uint32_t kDownloadModeWaitMs = 3000;  // after download mode on, before a write
constexpr uint32_t kBootCommitWaitMs = 5000;    // the drive takes the boot image
constexpr uint32_t kProgrammingWaitMs = 45000;  // the drive programs its flash
constexpr uint32_t kDownloadOffWaitMs = 3000;   // after download mode off

// The worker class: its constructor is the whole flash sequence.
class CKSFUpdate {
 public:
  CKSFUpdate();  // RunFlashSequence
};
void RunFlashSequence();
uint32_t UpdateThreadProc(void* parameter);

// What the UPDATE handler needs from the main dialog.
class UpdateView {
 public:
  virtual ~UpdateView() = default;
  virtual void EnableUpdateButton(bool enable) = 0;
  virtual void EnableExitButton(bool enable) = 0;
  virtual int CurrentSelection() = 0;
  virtual void SetStatusText(const char* text) = 0;
  virtual void SetProgressRange(uint16_t maximum) = 0;  // minimum 0
  virtual void SetProgressStep(int step) = 0;
  virtual void SetProgressPosition(int position) = 0;
  virtual void StepProgress() = 0;
  virtual void Repaint() = 0;
  virtual void* OwnerWindow() = 0;
  virtual void EndDialogOk() = 0;  // the framework's standard OK action
  // true: from now on Windows may not end the session or put the machine to
  // sleep (the flash must not be cut short); false: it may again.
  virtual void HoldSession(bool hold) = 0;
};
void OnUpdate(UpdateView& view);
int MonitorUpdate(UpdateView& view);
void OnDriveSelChange(UpdateView& view);
// Number of BufferSize units of the images (the transfer phase's total).
uint32_t TransferTotal();
