// Pre-update checks: board version limit, the fixed model and the firmware
// version comparison, run on the dialog thread before anything is written.
#include <cstdio>
#include <cstring>

#include "discovery/drive_table.h"
#include "package/package.h"
#include "platform/platform.h"
#include "text/catalogue.h"
#include "transport/command_set.h"
#include "transport/transport.h"
#include "update/update.h"

namespace {

void* g_message_owner = nullptr;

// This program writes firmware for one model only, whatever drives the
// package's INQUIRY list admits.  Vendor (8) and the first 14 product bytes
// are compared; the trailing ';' and the last two product bytes are not.
constexpr char kModelIdentification[] = "KESTRAN CD-R   TQ-517T;";
constexpr size_t kModelCompareLength = 22;
static_assert(sizeof kModelIdentification - 1 == kModelCompareLength + 1, "model text");

constexpr uint32_t kBoardVersionAddress = 0xF8048;

int Box(Msg text, const char* caption, uint32_t flags) {
  return plat::Os().MessageBox(g_message_owner, Text(text), caption, flags);
}

float ReadVersion(const char* text) {
  float value = 0.0f;
  std::sscanf(text, "%f", &value);
  return value;
}

}  // namespace

void SetMessageOwner(void* owner) { g_message_owner = owner; }
void* MessageOwner() { return g_message_owner; }

int CheckDrive() {
  const uint16_t index = SelectedDriveIndex.load(std::memory_order_acquire);
  if (index >= DriveCount || index >= kDriveTableSize) return 0;  // no drive selected
  const DriveRecord& drive = DriveTable[index];

  if (UpdatePackage.BoardVersionLimit != 0) {
    uint8_t memory[16] = {};
    if (ReadDriveMemory(drive, memory, sizeof memory, kBoardVersionAddress) != kCommandDone) {
      Box(Msg::DriveVersionCheckFailure, kCaptionError, plat::kMbOk | plat::kMbIconStop);
      return 0;
    }
    if (memory[0] > UpdatePackage.BoardVersionLimit) {
      Box(Msg::BoardNotApplicable, kCaptionInformation, plat::kMbOk | plat::kMbIconInformation);
      return 0;
    }
  }

  uint8_t inquiry[36] = {};
  if (Inquiry(drive, inquiry, sizeof inquiry) != kCommandDone &&
      Inquiry(drive, inquiry, sizeof inquiry) != kCommandDone) {
    return 0;  // the drive does not answer: no message
  }
  if (std::memcmp(inquiry + 8, kModelIdentification, kModelCompareLength) != 0) {
    Box(Msg::ModelNotApplicable, kCaptionInformation,
        plat::kMbOk | plat::kMbIconInformation | plat::kMbSystemModal);
    return 0;
  }

  // Only versions of the form "d.xx" with a leading digit other than 0 are
  // compared; anything else goes on without a question.
  const char* package = UpdatePackage.PackageVersion;
  const char* current = drive.Revision;
  if (package[1] == '.' && current[1] == '.' && package[0] != '0' && current[0] != '0') {
    if (ReadVersion(package) < ReadVersion(current)) {
      // Only an explicit Yes goes on to write older firmware.
      if (Box(Msg::DriveHasLaterVersion, kCaptionInformation,
              plat::kMbYesNo | plat::kMbIconInformation) != plat::kIdYes) {
        return 0;
      }
    }
  }
  return 1;
}
