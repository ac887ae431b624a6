// The process-wide table of drives found.
#pragma once

#include <cstdint>

#include "transport/drive_record.h"

constexpr int kDriveTableSize = 100;
extern DriveRecord DriveTable[kDriveTableSize];
extern uint8_t DriveCount;
void ResetDriveTable();
