// Taking the selected drive for an update, before the pre-update checks: the
// held handle, its lock and the adapter's limits (transport/passthrough.cpp).
// Whatever stops the update here stops it before anything reaches the drive.
#include <string>

#include "discovery/drive_table.h"
#include "platform/platform.h"
#include "text/catalogue.h"
#include "transport/failure_text.h"
#include "transport/transport.h"
#include "update/update.h"

int HoldSelectedDrive() {
  const uint16_t index = SelectedDriveIndex.load(std::memory_order_acquire);
  if (index >= DriveCount || index >= kDriveTableSize) return 0;  // no drive selected
  const int held = HoldDrive(DriveTable[index]);
  if (held == kHoldDone) return 1;

  std::string text;
  if (held == kHoldOpenFailed) {
    // The system's own reason, worded as a failed command's.
    DescribeFailure(kCommandSystemError, text);
    text.insert(0, Text(Msg::UpdateFailed));
  } else {
    text = Text(held == kHoldLockedByOther ? Msg::DriveInUse : Msg::AdapterTooSmall);
  }
  plat::Os().MessageBox(MessageOwner(), text.c_str(), kCaptionError,
                        plat::kMbOk | plat::kMbIconStop);
  return 0;
}
