// Failure texts for a command that did not succeed.
#include "transport/failure_text.h"

#include <cstdio>

#include "transport/transport.h"

namespace {

struct TextEntry {
  uint16_t key;
  const char* text;
};

template <size_t N>
const char* Find(const TextEntry (&table)[N], uint16_t key) {
  for (const TextEntry& entry : table) {
    if (entry.key == key) return entry.text;
  }
  return nullptr;
}

// Table B: by the ASPI request status.
const TextEntry kRequestStatusTexts[] = {
    {0x02, "SRB aborted."},
    {0x03, "Unable to abort SRB."},
    {0x80, "Invalid ASPI command."},
    {0x81, "Invalid host adapter number."},
    {0x82, "SCSI device not installed."},
    {0xE0, "Invalid parameter set in SRB."},
    {0xE1, "Buffer alignment problem."},
    {0xE2, "Device access security violation."},
    {0xE4, "ASPI for windows failed init."},
    {0xE5, "No resources available to execute cmd."},
    {0xE6, "Buffer size to big to handle!"},
};

// Table C: by the host adapter status.
const TextEntry kAdapterStatusTexts[] = {
    {0x09, "HA_Status: Timed out while SRB was waiting to be processed."},
    {0x0B, "HA_Status: While processing the SRB, the adapter timed out."},
    {0x0D, "HA_Status: While processing SRB, the adapter received a MESSAGE REJECT."},
    {0x0E, "HA_Status: A bus reset was detected."},
    {0x0F, "HA_Status: Parity error."},
    {0x10, "HA_Status: The adapter failed in issuing REQUEST SENSE."},
    {0x11, "HA_Status: Selection Timeout."},
    {0x12, "HA_Status: Data overrun data underrun."},
    {0x13, "HA_Status: Unexpected bus free."},
    {0x14, "HA_Status: Target bus phase sequence failure."},
};

// The drive's refusals of a firmware block, by ASC << 8 | ASCQ.
const TextEntry kSenseKey9Texts[] = {
    {0x8200, "Erase failure. (Code 09-82-00)"},
    {0x8400, "Flash rom not erased. (Code 09-84-00)"},
    {0x8500, "Flash rom write error. (Code 09-85-00)"},
    {0x8600, "Flash rom check sum error. (Code 09-86-00)"},
    {0x8700, "Firmware data error. (Code 09-87-00)"},
    {0x8800, "Firmware Transfer data error. (Code 09-88-00)"},
};
const TextEntry kSenseKey4Texts[] = {
    {0x40F5, "Firmware data error. (Code 04-40-f5)"},
    {0x40F6, "Firmware Transfer data error. (Code 04-40-f6)"},
};

uint16_t AdditionalSense(const CommandRecord& record) {
  return static_cast<uint16_t>(record.SenseArea[12] << 8 | record.SenseArea[13]);
}

// The sense-key byte is compared whole: a key with flag bits set is not the
// vendor's refusal.
const char* VendorSenseText(const CommandRecord& record) {
  switch (record.SenseArea[2]) {
    case 9:
      return Find(kSenseKey9Texts, AdditionalSense(record));
    case 4:
      return Find(kSenseKey4Texts, AdditionalSense(record));
    default:
      return nullptr;
  }
}

const char* TargetStatusText(const CommandRecord& record) {
  switch (record.SRB_TargStat) {
    case 0x02:  // CHECK CONDITION
      switch (record.SenseArea[2]) {
        case 9:
        case 4:
          return VendorSenseText(record);
        case 0:
          return AdditionalSense(record) == 0 ? "No Sense. (Code 00-00-00)" : nullptr;
        default:
          return "Target_Status: Check Condition";
      }
    case 0x08:
      return "Target_Status: BUSY";
    case 0x18:
      return "Target_Status: Reservation Conflict";
    default:
      return "Target_Status: error";
  }
}

}  // namespace

void DescribeFailure(int code, std::string& text) {
  text.clear();
  static const CommandRecord kEmpty = {};
  const CommandRecord& record = LastCommand != nullptr ? *LastCommand : kEmpty;
  const char* found = nullptr;
  switch (code) {
    case kCommandRequestStatus:
      found = record.SRB_Status == SS_ERR ? VendorSenseText(record)
                                          : Find(kRequestStatusTexts, record.SRB_Status);
      break;
    case kCommandAdapterStatus: {
      found = Find(kAdapterStatusTexts, record.SRB_HaStat);
      if (found == nullptr) found = "HA_Status: error";
      break;
    }
    case kCommandTargetStatus:
      found = TargetStatusText(record);
      break;
    case kCommandNoResource:
      found = "Can not create Event.";
      break;
    case kCommandNoMemory:
      found = "Memory allocation failure.";
      break;
    case kCommandSystemError: {
      const int number = record.SRB_TargStat * 65536 + record.SRB_HaStat * 256 + record.SRB_Status;
      char buffer[64];
      std::snprintf(buffer, sizeof buffer, "System error (Win32): Code %d\n", number);
      text = buffer;
      return;
    }
    default:
      found = "Unknown Error!";
      break;
  }
  if (found != nullptr) text = found;
}
