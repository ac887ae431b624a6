// One drive as the transport addresses it: its ASPI address, its drive letter
// or its device node, the CDB form it takes and the alignment its adapter
// needs.
#pragma once

#include <cstdint>

struct DriveRecord {
  uint8_t AdapterId;
  uint8_t TargetId;
  uint8_t Lun;
  char DriveLetter[3];
  // The device node's path where drives are reached through device nodes
  // rather than drive letters (Linux: /dev/sgN); empty otherwise.
  char NodeName[64];
  // Room for the longest node name and the identification; a drive-letter or
  // adapter text never needs more than 40.
  char DisplayText[104];
  char Revision[5];
  uint8_t UsesCdb12;
  uint32_t AlignMask;
  uint8_t Updated;
};
