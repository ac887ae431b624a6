// One drive as the transport addresses it: its ASPI address or its drive
// letter, the CDB form it takes and the alignment its adapter needs.
#pragma once

#include <cstdint>

struct DriveRecord {
  uint8_t AdapterId;
  uint8_t TargetId;
  uint8_t Lun;
  char DriveLetter[3];
  char DisplayText[40];
  char Revision[5];
  uint8_t UsesCdb12;
  uint32_t AlignMask;
  uint8_t Updated;
};
