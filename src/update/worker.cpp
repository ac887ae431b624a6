// The flash worker: the whole command sequence that reprograms the selected
// drive, run on its own thread.  It talks to the dialog only through
// ProgressCounter and WorkerState (and LastErrorText on failure).  The answers
// to the commands that change the drive (download mode on and off, the block
// writes, both flash controls) decide the outcome; those of TEST UNIT READY
// and of the eject do not.
#include <atomic>

#include "discovery/drive_table.h"
#include "package/package.h"
#include "platform/platform.h"
#include "transport/command_set.h"
#include "transport/failure_text.h"
#include "transport/transport.h"
#include "update/update.h"

namespace {

// Flash layout: fixed, whatever sizes the package declares.  The package
// loader allocates the image buffers at least this long (16,416 / 360,480
// bytes), so the blocks are read straight from them.
constexpr uint32_t kImageHeader = 32;
constexpr uint32_t kBootBlockLength = 0x1000;
constexpr uint32_t kBootBlockUnits = 2;
constexpr uint32_t kMainBlockLength = kLargestTransfer;
constexpr uint32_t kMainFlashAddress = 0x8000;
constexpr uint32_t kMainBlockUnits = 16;
static_assert(kImageHeader + kBootBlocks * kBootBlockLength == kBootImageReadLength, "boot");
static_assert(kImageHeader + kMainBlocks * kMainBlockLength == kMainImageReadLength, "main");

constexpr uint8_t kDownloadOn = 2;
constexpr uint8_t kDownloadOff = 0;
constexpr uint8_t kOpenTray = 2;  // LOEJ set, START clear

// Sense of a closed, empty tray: NOT READY, MEDIUM NOT PRESENT - TRAY CLOSED.
bool TrayClosedAndEmpty() {
  const CommandRecord* record = LastCommand;
  return record != nullptr && record->SenseArea[2] == 0x02 && record->SenseArea[12] == 0x3A &&
         record->SenseArea[13] == 0x01;
}

// Writes `blocks` blocks of one image; false at the first refused block (the
// failure text and the counter's 0 are already published then).
bool WriteImage(const DriveRecord& drive, const uint8_t* image, int blocks, uint32_t length,
                uint32_t address, uint32_t units) {
  for (int n = 0; n < blocks; ++n) {
    const uint32_t offset = static_cast<uint32_t>(n) * length;
    const int result =
        WriteFlashBlock(drive, image + kImageHeader + offset, length, address + offset);
    if (CheckCommandResult(result) != 0) return false;
    ProgressCounter.fetch_add(units, std::memory_order_release);
  }
  return true;
}

}  // namespace

int CheckCommandResult(int code) {
  if (code == kCommandDone) return 0;
  DescribeFailure(code, LastErrorText);
  // Publishes the text: the dialog reads LastErrorText only after it has
  // seen this 0 with an acquire load.
  ProgressCounter.store(0, std::memory_order_release);
  return -1;
}

CKSFUpdate::CKSFUpdate() { RunFlashSequence(); }

void RunFlashSequence() {
  const DriveRecord& drive = DriveTable[SelectedDriveIndex.load(std::memory_order_acquire)];

  TestUnitReady(drive);
  // Open the tray unless the drive reports a closed, empty one.  After a
  // failure that never reached the drive the sense is the previous command's.
  if (TestUnitReady(drive) == kCommandDone || !TrayClosedAndEmpty()) {
    StartStopUnit(drive, kOpenTray, 0);
  }

  // Every command that changes the drive decides the outcome like a block
  // write: at the first refusal the failure is published and nothing more is
  // sent (the drive stays where it is, typically in download mode).
  if (UpdatePackage.BootImagePresent) {
    if (CheckCommandResult(SetDownloadMode(drive, kDownloadOn)) != 0) return;
    WaitMilliseconds(kDownloadModeWaitMs);
    if (!WriteImage(drive, UpdatePackage.BootImage, kBootBlocks, kBootBlockLength, 0,
                    kBootBlockUnits)) {
      return;
    }
    if (CheckCommandResult(FlashControl(drive, 0x0F, 0x00)) != 0) return;
    WaitMilliseconds(kBootCommitWaitMs);
    for (int i = 0; i < 3; ++i) TestUnitReady(drive);
  }

  if (CheckCommandResult(SetDownloadMode(drive, kDownloadOn)) != 0) return;
  WaitMilliseconds(kDownloadModeWaitMs);
  if (!WriteImage(drive, UpdatePackage.MainImage, kMainBlocks, kMainBlockLength, kMainFlashAddress,
                  kMainBlockUnits)) {
    return;
  }
  // A refused commit is not followed by the programming wait: the drive is
  // not programming anything.
  if (CheckCommandResult(FlashControl(drive, 0x00, 0x3F)) != 0) return;
  WaitMilliseconds(kProgrammingWaitMs);  // the drive programs its flash
  if (CheckCommandResult(SetDownloadMode(drive, kDownloadOff)) != 0) return;
  WaitMilliseconds(kDownloadOffWaitMs);
  TestUnitReady(drive);
  TestUnitReady(drive);

  // The dialog reads the counter first: a 0 with the state still 1 is a
  // failure, so the state must be 2 before the counter drops to 0.
  WorkerState.store(kWorkerFinished, std::memory_order_release);
  ProgressCounter.store(0, std::memory_order_release);
}

uint32_t UpdateThreadProc(void* /*parameter*/) {
  CKSFUpdate update;
  (void)update;
  return 0;
}
