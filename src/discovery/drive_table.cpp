// The process-wide table of the drives found by discovery.
#include "discovery/drive_table.h"

#include <cstring>

DriveRecord DriveTable[kDriveTableSize] = {};
uint8_t DriveCount = 0;

void ResetDriveTable() {
  std::memset(DriveTable, 0, sizeof DriveTable);
  DriveCount = 0;
}
